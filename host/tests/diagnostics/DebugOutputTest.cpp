// Debug messages and assertion reports as they reach the debug UART, with the
// configured property mask (0x1F: assertions, messages, breakpoint) and each
// print level the module's diagnostics distinguish.

#define VEXA_SOURCE_FILE "host/tests/diagnostics/DebugOutputTest"

#include <string>

#include "DiagnosticsFixture.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"
#include "Library/PrintLib.h"
#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"
#include "support/TestSupport.h"

namespace {

using diagnostics::PrintLevelScope;
using diagnostics::ReportPattern;
using diagnostics::ReportsAre;

const char kThisFile[] = "host/tests/diagnostics/DebugOutputTest";

class DebugOutput : public ::testing::Test {
 protected:
  std::string Uart() { return testsupport::ConsoleText(platform); }

  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
};

int gEvaluations = 0;
int Evaluated(int value) {
  ++gEvaluations;
  return value;
}

TEST_F(DebugOutput, ConfiguredLevelWritesNoMessage) {
  ASSERT_EQ(PcdDebugPrintErrorLevel, 0u);
  gEvaluations = 0;
  DEBUG(DEBUG_INFO, "Start %d\n", Evaluated(1));
  DEBUG(DEBUG_ERROR, "Error %d\n", Evaluated(2));
  EXPECT_EQ(gEvaluations, 2) << "both site tests pass with the configured mask and fixed level";
  EXPECT_EQ(Uart(), "");
}

// A DEBUG_INFO line, then a failing ASSERT_EFI_ERROR, at each print level:
// {level, info line written, status line written}.
struct LevelRow {
  UINT32 level;
  bool infoLine;
  bool statusLine;
};

TEST_F(DebugOutput, EachPrintLevelSelectsTheLinesWritten) {
  const LevelRow rows[] = {
      {0, false, false},  // as configured
      {DEBUG_INFO, true, false}, {DEBUG_ERROR, false, true}, {DEBUG_INFO | DEBUG_ERROR, true, true},
      {0xFFFFFFFF, true, true},  {0x00000001, false, false},
  };
  for (const LevelRow &row : rows) {
    SCOPED_TRACE("level " + std::to_string(row.level));
    platform.uart.DrainAll();
    const size_t before = platform.uart.Sent().size();
    const int breaksBefore = breakpoints.Count();
    PrintLevelScope level(row.level);

    DEBUG(DEBUG_INFO, "Start %a\n", "VexaGpioUnlockSmm");
    EFI_STATUS Status = EFI_NOT_FOUND;
    ASSERT_EFI_ERROR(Status);

    std::string expected;
    if (row.infoLine) expected += "Start VexaGpioUnlockSmm\r\n";
    if (row.statusLine) expected += "\r\nASSERT_EFI_ERROR (Status = Not Found)\r\n";
    const std::string sent = Uart().substr(before);
    ASSERT_GE(sent.size(), expected.size());
    EXPECT_EQ(sent.substr(0, expected.size()), expected);
    EXPECT_TRUE(ReportsAre(sent.substr(expected.size()), {ReportPattern(kThisFile, "!EFI_ERROR (Status)")}));
    EXPECT_EQ(breakpoints.Count() - breaksBefore, 1);
  }
}

TEST_F(DebugOutput, LevelIsTestedBeforeAnythingIsFormatted) {
  // With the level off, an argument the format would read is never touched.
  const char *const unreadable = reinterpret_cast<const char *>(uintptr_t{8});
  DebugPrint(DEBUG_INFO, "%a %g %t\n", unreadable, unreadable, unreadable);
  EXPECT_EQ(Uart(), "");
}

TEST_F(DebugOutput, LevelsAreThirtyTwoBitMasksWidenedWithZeros) {
  EXPECT_FALSE(DebugPrintLevelEnabled(1ull << 32));
  EXPECT_FALSE(DebugPrintLevelEnabled(0));
  EXPECT_TRUE(DebugPrintLevelEnabled(DEBUG_INFO));
  EXPECT_TRUE(DebugPrintLevelEnabled(DEBUG_ERROR | (1ull << 40)));
  PrintLevelScope level(0xFFFFFFFF);
  EXPECT_EQ(GetDebugPrintErrorLevel(), 0xFFFFFFFFu);
  DebugPrint(1ull << 32, "high bits only\n");
  EXPECT_EQ(Uart(), "");
  DebugPrint(DEBUG_INFO | (1ull << 32), "shared bit\n");
  EXPECT_EQ(Uart(), "shared bit\r\n");
}

TEST_F(DebugOutput, SuccessAndWarningStatusesAssertNothing) {
  PrintLevelScope level(0xFFFFFFFF);
  EFI_STATUS Status = EFI_SUCCESS;
  ASSERT_EFI_ERROR(Status);
  Status = EFI_WARN_STALE_DATA;
  ASSERT_EFI_ERROR(Status);
  EXPECT_EQ(Uart(), "");
  EXPECT_EQ(breakpoints.Count(), 0);
}

TEST_F(DebugOutput, FailingAssertReportsTheExpressionAsWrittenThenBreaksAndGoesOn) {
  UINTN Address = 0x1001;
  const void *Pointer = nullptr;
  bool reachedAfter = false;
  ASSERT((Address & 1) == 0);
  ASSERT(Pointer != NULL);
  ASSERT(Address != 0);  // holds: no report
  reachedAfter = true;
  EXPECT_TRUE(reachedAfter);
  EXPECT_TRUE(ReportsAre(
      Uart(), {ReportPattern(kThisFile, "(Address & 1) == 0"), ReportPattern(kThisFile, "Pointer != ((void *) 0)")}));
  EXPECT_EQ(breakpoints.Count(), 2);
}

TEST_F(DebugOutput, ReportNamesTheLineOfTheSite) {
  const UINTN line = __LINE__ + 1;
  ASSERT(FALSE);
  EXPECT_EQ(Uart(), std::string("ASSERT ") + kThisFile + "(" + std::to_string(line) + "): ((BOOLEAN)(0 == 1))\r\n");
}

TEST_F(DebugOutput, MessagesAreCutAt255Characters) {
  PrintLevelScope level(DEBUG_INFO);
  const std::string exact(255, 'x');
  DEBUG(DEBUG_INFO, "%a", exact.c_str());
  EXPECT_EQ(Uart(), exact);

  const size_t before = Uart().size();
  const std::string longer = std::string(255, 'y') + "z";
  DEBUG(DEBUG_INFO, "%a", longer.c_str());
  EXPECT_EQ(Uart().substr(before), std::string(255, 'y'));
}

TEST_F(DebugOutput, LongAssertionReportIsCutToo) {
  const std::string description(300, 'd');
  DebugAssert("File", 1, description.c_str());
  const std::string expected = "ASSERT File(1): " + std::string(255 - 16, 'd');
  EXPECT_EQ(Uart(), expected);
  EXPECT_EQ(breakpoints.Count(), 1);
}

TEST_F(DebugOutput, NullFormatIsReportedAndPrintsNothing) {
  const std::string debugLib = "MdePkg/Library/BaseDebugLibSerialPort/DebugLib";
  DebugPrint(DEBUG_INFO, nullptr);  // level 0: the report, then nothing
  EXPECT_TRUE(ReportsAre(Uart(), {ReportPattern(debugLib, "Format != ((void *) 0)")}));

  PrintLevelScope level(DEBUG_INFO);
  const size_t before = Uart().size();
  DebugPrint(DEBUG_INFO, nullptr);  // passes the level: the engine's length check reports it too
  EXPECT_TRUE(
      ReportsAre(Uart().substr(before), {ReportPattern(debugLib, "Format != ((void *) 0)"),
                                         ReportPattern("MdePkg/Library/BaseLib/String", "String != ((void *) 0)")}));
  EXPECT_EQ(breakpoints.Count(), 3);
}

TEST_F(DebugOutput, ConstructorBringsUpTheUartAndReturnsItsStatus) {
  platform.uart.PowerOnReset();
  EXPECT_EQ(DebugSerialPortConstructor(), EFI_SUCCESS);
  EXPECT_EQ(platform.uart.LineControl(), 0x03);
  EXPECT_EQ(platform.uart.BaudRate(), 115200u);
  DebugAssert("File", 2, "after bring-up");
  EXPECT_EQ(Uart(), "ASSERT File(2): after bring-up\r\n");
}

// ---- Checks inside the helpers and the engine ----------------------------------

class DiagnosticChecks : public DebugOutput {};

TEST_F(DiagnosticChecks, NullStringsMeasureAsEmptyAfterTheReport) {
  EXPECT_EQ(AsciiStrLen(nullptr), 0u);
  EXPECT_EQ(StrLen(nullptr), 0u);
  EXPECT_EQ(AsciiStrSize(nullptr), 1u);
  EXPECT_EQ(StrSize(nullptr), 2u);
  const std::string pattern = ReportPattern("MdePkg/Library/BaseLib/String", "String != ((void *) 0)");
  EXPECT_TRUE(ReportsAre(Uart(), {pattern, pattern, pattern, pattern}));
  EXPECT_EQ(breakpoints.Count(), 4);
}

TEST_F(DiagnosticChecks, NullUnalignedReadsReturnZeroAfterTheReport) {
  EXPECT_EQ(ReadUnaligned16(nullptr), 0u);
  EXPECT_EQ(ReadUnaligned32(nullptr), 0u);
  const std::string pattern = ReportPattern("MdePkg/Library/BaseLib/Unaligned", "Buffer != ((void *) 0)");
  EXPECT_TRUE(ReportsAre(Uart(), {pattern, pattern}));
}

TEST_F(DiagnosticChecks, ZeroDivisorReturnsZeroAfterTheReport) {
  UINT32 remainder = 77;
  EXPECT_EQ(DivU64x32Remainder(1234, 0, &remainder), 0u);
  EXPECT_EQ(remainder, 0u);
  EXPECT_EQ(DivU64x32Remainder(1234, 0, nullptr), 0u);
  const std::string pattern = ReportPattern("MdePkg/Library/BaseLib/DivU64x32Remainder", "Divisor != 0");
  EXPECT_TRUE(ReportsAre(Uart(), {pattern, pattern}));
}

TEST_F(DiagnosticChecks, EngineReportsANullBufferAndWritesNothing) {
  EXPECT_EQ(AsciiSPrint(nullptr, 16, "text %d", 5), 0u);
  EXPECT_TRUE(
      ReportsAre(Uart(), {ReportPattern("MdePkg/Library/BasePrintLib/PrintLibInternal", "Buffer != ((void *) 0)")}));
  EXPECT_EQ(AsciiSPrint(nullptr, 0, "text"), 0u);  // size 0: no check, nothing written
  EXPECT_EQ(breakpoints.Count(), 1);
}

TEST_F(DiagnosticChecks, EngineRendersANullFormatAsEmptyAfterTheReport) {
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(AsciiSPrint(buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_STREQ(buffer, "");
  memcpy(buffer, "zzzzzzz", 8);
  EXPECT_EQ(SPrintWithFlags(buffer, 4, FMT_FORMAT_UCS2 | FMT_OUTPUT_UCS2, nullptr), 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(buffer[2], 'z');
  const std::string pattern = ReportPattern("MdePkg/Library/BaseLib/String", "String != ((void *) 0)");
  EXPECT_TRUE(ReportsAre(Uart(), {pattern, pattern}));
}

}  // namespace
