// Property mask 0x00: no call site evaluates anything; a direct report still
// goes out and returns without a halt.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/DisabledTest"

#include "Library/DebugLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

int gEvaluations = 0;
bool Evaluated(bool value) {
  ++gEvaluations;
  return value;
}

TEST(DiagnosticsDisabled, CallSitesEvaluateNothing) {
  static_assert(PcdDebugPropertyMask == 0x00, "this executable's copy of the debug library");
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  diagnostics::PrintLevelScope level(0xFFFFFFFF);
  gEvaluations = 0;
  ASSERT(Evaluated(false));
  DEBUG(DEBUG_ERROR, "%d\n", Evaluated(true));
  EFI_STATUS Status = EFI_NOT_FOUND;
  ASSERT_EFI_ERROR(Status);
  EXPECT_EQ(gEvaluations, 0);
  EXPECT_FALSE(DebugAssertEnabled());
  EXPECT_FALSE(DebugPrintEnabled());
  platform.uart.DrainAll();
  EXPECT_EQ(platform.uart.Sent(), "");
  EXPECT_EQ(breakpoints.Count(), 0);
}

TEST(DiagnosticsDisabled, DirectReportIsWrittenWithoutAHalt) {
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  DebugAssert("File", 3, "direct");
  platform.uart.DrainAll();
  EXPECT_EQ(platform.uart.Sent(), "ASSERT File(3): direct\r\n");
  EXPECT_EQ(breakpoints.Count(), 0);
}

}  // namespace
