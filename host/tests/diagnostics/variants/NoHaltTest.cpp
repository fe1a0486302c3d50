// Property mask 0x03: neither halt bit; DebugAssert returns right after its report.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/NoHaltTest"

#include "Library/BaseLib.h"
#include "Library/DebugLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

TEST(DiagnosticsNoHalt, ReportsAndReturns) {
  static_assert(PcdDebugPropertyMask == 0x03, "this executable's copy of the debug library");
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  UINTN Value = 3;
  ASSERT(Value == 4);
  EXPECT_EQ(AsciiStrLen(nullptr), 0u);
  EXPECT_EQ(breakpoints.Count(), 0);
  platform.uart.DrainAll();
  EXPECT_TRUE(diagnostics::ReportsAre(
      platform.uart.Sent(), {diagnostics::ReportPattern("host/tests/diagnostics/variants/NoHaltTest", "Value == 4"),
                             diagnostics::ReportPattern("MdePkg/Library/BaseLib/String", "String != ((void *) 0)")}));
}

}  // namespace
