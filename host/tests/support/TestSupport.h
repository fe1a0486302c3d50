// Shared test helpers: trace comparison with a readable difference, and a
// counter for the breakpoints (INT3) that assertion reports end in.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/Bus.h"

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

}  // namespace testsupport
