// String length bound 300 (configured: 0, no bound).  A string of exactly the
// bound passes; each character past it is reported once, and the walk goes
// on to return the full length.  The bound must exceed every format and
// report the diagnostics measure (255 characters at most): below that, the
// report of a failed bound check would itself fail the check.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/variants/LengthBoundTest"

#include <string>

#include "Library/BaseLib.h"
#include "diagnostics/DiagnosticsFixture.h"
#include "support/TestSupport.h"

namespace {

class LengthBound : public ::testing::Test {
 protected:
  std::string Uart() { return testsupport::ConsoleText(platform); }
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
};

TEST_F(LengthBound, StringOfExactlyTheBoundPasses) {
  static_assert(PcdMaximumAsciiStringLength == 300 && PcdMaximumUnicodeStringLength == 300, "this executable's copy");
  EXPECT_EQ(AsciiStrLen(std::string(300, 'a').c_str()), 300u);
  EXPECT_EQ(StrLen(std::u16string(300, u'a').c_str()), 300u);
  EXPECT_EQ(Uart(), "");
}

TEST_F(LengthBound, EachCharacterPastTheBoundIsReported) {
  EXPECT_EQ(AsciiStrLen(std::string(302, 'a').c_str()), 302u);
  const std::string ascii = diagnostics::ReportPattern("MdePkg/Library/BaseLib/String",
                                                       "Length < _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength");
  EXPECT_TRUE(diagnostics::ReportsAre(Uart(), {ascii, ascii}));
  EXPECT_EQ(breakpoints.Count(), 2);
}

TEST_F(LengthBound, WideStringsHaveTheirOwnReport) {
  EXPECT_EQ(StrSize(std::u16string(301, u'a').c_str()), 604u);
  EXPECT_TRUE(diagnostics::ReportsAre(
      Uart(), {diagnostics::ReportPattern("MdePkg/Library/BaseLib/String",
                                          "Length < _gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength")}));
}

}  // namespace
