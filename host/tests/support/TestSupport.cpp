#include "TestSupport.h"

#include <signal.h>

#include <atomic>

namespace testsupport {

::testing::AssertionResult TraceIs(const std::vector<sim::Access> &actual, const std::vector<sim::Access> &expected) {
  const std::string difference = sim::TraceDifference(expected, actual);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << difference;
}

::testing::AssertionResult DeviceTraceIs(const sim::Bus &bus, const sim::Device *device,
                                         const std::vector<sim::Access> &expected) {
  return TraceIs(bus.TraceOf(device), expected);
}

namespace {
std::atomic<int> gTraps{0};
struct sigaction gPrevious;
void OnTrap(int) { gTraps.fetch_add(1); }
}  // namespace

BreakpointCounter::BreakpointCounter() {
  gTraps = 0;
  struct sigaction action = {};
  action.sa_handler = OnTrap;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTRAP, &action, &gPrevious);
}

BreakpointCounter::~BreakpointCounter() { sigaction(SIGTRAP, &gPrevious, nullptr); }

int BreakpointCounter::Count() const { return gTraps.load(); }

}  // namespace testsupport
