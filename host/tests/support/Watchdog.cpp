// A time bound of each test's own.  A regression that makes code loop
// forever (a wait with no bound, a dead loop the settings should have turned
// off, a copy loop that never reaches its end) then fails the test that ran
// into it, by name, within the bound, instead of holding the executable until
// CTest's timeout ends it without saying which test hung.
//
// Linked into every test executable as an object of its own: GoogleTest's
// main runs the tests, so the listener is installed before main starts.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

char gMessage[512];
size_t gLength;

extern "C" void OnAlarm(int) {
  if (write(STDERR_FILENO, gMessage, gLength) < 0) {
  }
  _exit(1);
}

class Watchdog : public ::testing::EmptyTestEventListener {
 public:
  explicit Watchdog(unsigned seconds) : seconds_(seconds) {}
  void OnTestStart(const ::testing::TestInfo &test) override {
    const int n = std::snprintf(gMessage, sizeof gMessage, "\n[ WATCHDOG ] %s.%s still running after %u s: stopped\n",
                                test.test_suite_name(), test.name(), seconds_);
    gLength = n < 0 ? 0 : static_cast<size_t>(n) < sizeof gMessage ? static_cast<size_t>(n) : sizeof gMessage - 1;
    alarm(seconds_);
  }
  void OnTestEnd(const ::testing::TestInfo &) override { alarm(0); }

 private:
  unsigned seconds_;
};

// VEXA_TEST_WATCHDOG_SECONDS in the environment overrides the bound (0: none),
// for a run under a debugger.
[[maybe_unused]] const bool kInstalled = [] {
  unsigned long seconds = VEXA_TEST_WATCHDOG_SECONDS;
  if (const char *text = std::getenv("VEXA_TEST_WATCHDOG_SECONDS")) seconds = std::strtoul(text, nullptr, 10);
  if (seconds == 0) return false;
  signal(SIGALRM, OnAlarm);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(static_cast<unsigned>(seconds)));
  return true;
}();

}  // namespace
