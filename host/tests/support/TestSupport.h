// Shared test helpers: trace comparison with a readable difference, and a
// counter for the breakpoints (INT3) that assertion reports end in.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "sim/Bus.h"

namespace sim {
class Platform;
}

namespace testsupport {

// The whole trace, access by access.
::testing::AssertionResult TraceIs(const std::vector<sim::Access> &actual, const std::vector<sim::Access> &expected);

// The accesses that reached `device`, and nothing else to it.
::testing::AssertionResult DeviceTraceIs(const sim::Bus &bus, const sim::Device *device,
                                         const std::vector<sim::Access> &expected);

// Counts SIGTRAPs (INT3 from CpuBreakpoint) while alive; execution resumes
// after the breakpoint, as it does when a debugger continues.
class BreakpointCounter {
 public:
  BreakpointCounter();
  ~BreakpointCounter();
  int Count() const;
};

// Module globals outlive a test: unbind them, as they are at load.
void UnbindModuleGlobals();

// Everything the platform's UART has put on the line, once it has drained.
std::string ConsoleText(sim::Platform &platform);

// Each "ASSERT file(line): text" report on a console, in order; a report
// counts only when it ends in CR LF.
struct AssertionReport {
  std::string file;
  std::string text;
  bool operator==(const AssertionReport &o) const { return file == o.file && text == o.text; }
};
std::ostream &operator<<(std::ostream &os, const AssertionReport &r);
std::vector<AssertionReport> AssertionReports(const std::string &console);

// A command run through the shell, with its exit status (-1 when it did not
// exit normally) and its standard output and error together.
struct Outcome {
  int status;
  std::string output;
};
Outcome Shell(const std::string &command);
// A path quoted for the shell.
std::string Quote(const std::filesystem::path &path);

}  // namespace testsupport
