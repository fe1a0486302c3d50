#include "TestSupport.h"

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <regex>

#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "VexaGpioUnlockSmm.h"
#include "sim/Platform.h"
#include "sim/TraceText.h"

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

void UnbindModuleGlobals() {
  gImageHandle = nullptr;
  gST = nullptr;
  gBS = nullptr;
  gSmst = nullptr;
  mInternalSmmBase2 = nullptr;
  mSmiSourceDispatch = nullptr;
}

std::string ConsoleText(sim::Platform &platform) {
  platform.uart.DrainAll();
  return platform.uart.Sent();
}

std::ostream &operator<<(std::ostream &os, const AssertionReport &r) { return os << r.file << ": " << r.text; }

std::vector<AssertionReport> AssertionReports(const std::string &console) {
  static const std::regex report(R"(ASSERT ([^(\r\n]+)\((\d+)\): ([^\r\n]*)\r\n)");
  std::vector<AssertionReport> out;
  for (auto it = std::sregex_iterator(console.begin(), console.end(), report); it != std::sregex_iterator(); ++it)
    out.push_back({(*it)[1], (*it)[3]});
  return out;
}

Outcome Shell(const std::string &command) {
  Outcome run{-1, {}};
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

std::string Quote(const std::filesystem::path &path) { return "'" + path.string() + "'"; }

}  // namespace testsupport
