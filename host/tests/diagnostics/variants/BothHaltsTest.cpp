// Property mask 0x3F: both halt bits set; only the breakpoint runs.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/BothHaltsTest"

#include "Library/DebugLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

TEST(DiagnosticsBothHalts, OnlyTheBreakpointRuns) {
  static_assert(PcdDebugPropertyMask == 0x3F, "this executable's copy of the debug library");
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  bool resumed = false;
  ASSERT(resumed);  // a dead loop here would never let the test go on
  resumed = true;
  EXPECT_TRUE(resumed);
  EXPECT_EQ(breakpoints.Count(), 1);
  platform.uart.DrainAll();
  EXPECT_TRUE(diagnostics::ReportsAre(
      platform.uart.Sent(), {diagnostics::ReportPattern("host/tests/diagnostics/variants/BothHaltsTest", "resumed")}));
}

}  // namespace
