// Property mask 0x1D: assertions on, messages off, and a fixed level of
// DEBUG_ERROR only.  A failing ASSERT_EFI_ERROR writes only its report,
// whatever the print level; DebugPrint itself tests the print level alone.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/PrintDisabledTest"

#include "Library/DebugLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

int gEvaluations = 0;
int Evaluated(int value) {
  ++gEvaluations;
  return value;
}

TEST(DiagnosticsPrintDisabled, MessagesAreNotEvaluatedAndStatusLinesNotWritten) {
  static_assert(PcdDebugPropertyMask == 0x1D, "this executable's copy of the debug library");
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  diagnostics::PrintLevelScope level(0xFFFFFFFF);
  gEvaluations = 0;
  DEBUG(DEBUG_INFO, "%d\n", Evaluated(1));
  EXPECT_EQ(gEvaluations, 0);

  EFI_STATUS Status = EFI_NOT_FOUND;
  ASSERT_EFI_ERROR(Status);
  platform.uart.DrainAll();
  EXPECT_TRUE(diagnostics::ReportsAre(
      platform.uart.Sent(),
      {diagnostics::ReportPattern("host/tests/diagnostics/variants/PrintDisabledTest", "!EFI_ERROR (Status)")}));
  EXPECT_EQ(breakpoints.Count(), 1);
}

TEST(DiagnosticsPrintDisabled, DebugPrintTestsOnlyThePrintLevel) {
  sim::Platform platform;
  diagnostics::PrintLevelScope level(DEBUG_INFO);
  EXPECT_FALSE(DebugPrintLevelEnabled(DEBUG_INFO));  // the fixed level leaves DEBUG_INFO out
  DebugPrint(DEBUG_INFO, "direct %d\n", 7);
  EXPECT_EQ(testsupport::ConsoleText(platform), "direct 7\r\n");
}

}  // namespace
