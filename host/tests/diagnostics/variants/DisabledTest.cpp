// Property mask 0x00: no call site evaluates anything; a direct report still
// goes out and returns without a halt; register access makes misaligned
// accesses unchanged without a word.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/DisabledTest"

#include "Library/DebugLib.h"
#include "Library/IoLib.h"
#include "Library/PciExpressLib.h"
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

TEST(DiagnosticsDisabled, MisalignedAccessesAreMadeUnchangedWithoutAReport) {
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  (void)MmioRead16(0xFED00001);
  (void)MmioRead32(0xFED00002);
  (void)MmioWrite16(0xFED00003, 0x1234);
  (void)MmioWrite32(0xFED00005, 0x12345678);
  (void)IoWrite32(0x1002, 0xCAFEF00D);
  (void)PciExpressRead16(PCI_EXPRESS_LIB_ADDRESS(0, 2, 0, 0x11));
  EXPECT_EQ(PciExpressRead32(0x0FFFFFFD), 0xFFFFFFFFu);  // past the window's end: still not made
  EXPECT_TRUE(testsupport::TraceIs(
      platform.bus.Trace(),
      {sim::MemR16(0xFED00001, 0xFFFF), sim::MemR32(0xFED00002, 0xFFFFFFFF), sim::MemW16(0xFED00003, 0x1234),
       sim::MemW32(0xFED00005, 0x12345678), sim::IoW32(0x1002, 0xCAFEF00D), sim::MemR16(0x80010011, 0xFFFF)}));
  EXPECT_EQ(testsupport::ConsoleText(platform), "");
  EXPECT_EQ(breakpoints.Count(), 0);
}

}  // namespace
