// The formatted-text engine, directive by directive: each row is
// {format, argument slots, expected text, expected count}.  Every row runs
// with the arguments as a BaseList and as an argument list over the same
// 8-byte slots, once counting only, and once with every flag bit but the
// caller's three set (the engine owns them), into a buffer with guard bytes.

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "DiagnosticsFixture.h"
#include "Library/PrintLib.h"
#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"

namespace {

using diagnostics::Slot;

struct Row {
  const char *format;
  std::vector<UINT64> args;
  std::string expected;
  UINTN count;
};

constexpr UINTN kEngineOwnedFlags = ~UINTN{FMT_OUTPUT_UCS2 | FMT_FORMAT_UCS2 | FMT_COUNT_ONLY};
constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 16;

struct Rendered {
  std::string text;
  UINTN count;
};

// Renders into a buffer of bufferSize characters followed by guard bytes and
// checks that the guard is untouched.
Rendered Render(const char *format, const std::vector<UINT64> &args, UINTN bufferSize, UINTN flags, bool baseList) {
  std::vector<UINT64> slots = args;
  slots.resize(args.size() + 4, 0xDEADBEEFDEADBEEFull);  // reading past the row's arguments shows up
  std::vector<unsigned char> storage(bufferSize + kGuardBytes, kGuard);
  CHAR8 *buffer = reinterpret_cast<CHAR8 *>(storage.data());
  VA_LIST list = reinterpret_cast<VA_LIST>(slots.data());  // the x64 argument list is consecutive 8-byte slots
  const UINTN count =
      FormatIntoBuffer(buffer, bufferSize, flags, format, baseList ? nullptr : list, baseList ? slots.data() : nullptr);
  for (size_t i = bufferSize; i < storage.size(); ++i) {
    EXPECT_EQ(storage[i], kGuard) << "byte " << i << " written past a buffer of " << bufferSize;
  }
  Rendered result{std::string(), count};
  if (bufferSize > 0) result.text.assign(buffer, strnlen(buffer, bufferSize));
  return result;
}

void Check(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string("format \"") + row.format + "\"");
    for (bool baseList : {true, false}) {
      SCOPED_TRACE(baseList ? "BaseList" : "argument list");
      const Rendered r = Render(row.format, row.args, 256, 0, baseList);
      EXPECT_EQ(r.text, row.expected);
      EXPECT_EQ(r.count, row.count);
    }
    EXPECT_EQ(Render(row.format, row.args, 0, FMT_COUNT_ONLY, true).count, row.count) << "counting only";
    EXPECT_EQ(Render(row.format, row.args, 256, kEngineOwnedFlags, true).text, row.expected) << "engine-owned flags";
  }
}

// 8497455B-B489-4AC7-BD51-78DF4E1F1ACD as it lies in memory.
const UINT8 kGuidBytes[16] = {0x5B, 0x45, 0x97, 0x84, 0x89, 0xB4, 0xC7, 0x4A,
                              0xBD, 0x51, 0x78, 0xDF, 0x4E, 0x1F, 0x1A, 0xCD};
const char kGuidText[] = "8497455B-B489-4AC7-BD51-78DF4E1F1ACD";

TEST(PrintEngine, PlainTextAndLineEnds) {
  Check({
      {"", {}, "", 0},
      {"hello", {}, "hello", 5},
      {"a\nb", {}, "a\r\nb", 4},
      {"a\n\rb", {}, "a\r\nb", 4},
      {"a\r\nb", {}, "a\r\nb", 4},
      {"a\rb", {}, "a\rb", 3},
      {"a\n\nb", {}, "a\r\n\r\nb", 6},
      {"a\r\rb", {}, "a\r\rb", 4},
      {"end\n", {}, "end\r\n", 5},
      {"end\r", {}, "end\r", 4},
      {"%\n", {}, "\r\n", 2},
      {"%\r\n|", {}, "\r\n|", 3},
      {"%5\n", {}, "   \r\n", 5},
      {"ASSERT %a(%d): %a\n", {Slot("File"), 12, Slot("x != 0")}, "ASSERT File(12): x != 0\r\n", 25},
  });
}

TEST(PrintEngine, PercentAndUnrecognisedDirectives) {
  Check({
      {"%%", {}, "%", 1},
      {"100%%", {}, "100%", 4},
      {"%u%d", {7}, "u7", 2},
      {"%i|%f", {}, "i|f", 3},
      {"%5u", {}, "    u", 5},
      {"%-3%|", {}, "%  |", 4},
      {"abc%", {}, "abc", 3},
      {"abc%5", {}, "abc     ", 8},
      {"abc%-", {}, "abc", 3},
      {"%lu", {}, "u", 1},
  });
}

TEST(PrintEngine, SignedDecimal) {
  Check({
      {"%d", {42}, "42", 2},
      {"%d", {0}, "0", 1},
      {"%d", {static_cast<UINT64>(-42)}, "-42", 3},
      {"%d", {0xFFFFFFFF}, "-1", 2},
      {"%d", {0x1234567800000005ull}, "5", 1},  // a 32-bit argument is the low half of its slot
      {"%d", {0x80000000}, "-2147483648", 11},
      {"%ld", {0xFFFFFFFFFFFFFFFFull}, "-1", 2},
      {"%Ld", {0x7FFFFFFFFFFFFFFFull}, "9223372036854775807", 19},
      {"%ld", {0x8000000000000000ull}, "-9223372036854775808", 20},
      {"%ld", {0x100000000ull}, "4294967296", 10},
  });
}

TEST(PrintEngine, SignedDecimalFlagsWidthPrecision) {
  Check({
      {"%5d", {42}, "   42", 5},
      {"%-5d|", {42}, "42   |", 6},
      {"%05d", {static_cast<UINT64>(-42)}, "-0042", 5},
      {"%+d", {5}, "+5", 2},
      {"% d", {5}, " 5", 2},
      {"%+ d", {5}, "+5", 2},
      {"% +d", {5}, "+5", 2},
      {"%+d", {static_cast<UINT64>(-5)}, "-5", 2},
      {"%+05d", {42}, "+0042", 5},
      {"% 05d", {42}, " 0042", 5},
      {"%.3d", {7}, "007", 3},
      {"%.3d", {static_cast<UINT64>(-7)}, "-007", 4},
      {"%.0d", {0}, "", 0},
      {"%+.0d", {0}, "+", 1},
      {"%3.0d|", {0}, "   |", 4},
      {"%.d", {0}, "0", 1},
      {"%03d", {12345}, "12345", 5},
      {"%5.3d", {7}, "  007", 5},
      {"%05.3d", {7}, "  007", 5},  // a precision turns zero fill off
      {"%-05d|", {42}, "42   |", 6},
      {"%0-5d|", {42}, "42   |", 6},
      {"%*d", {5, 42}, "   42", 5},
      {"%-*d|", {4, 7}, "7   |", 5},
      {"%.*d", {3, 7}, "007", 3},
      {"%*.*d", {6, 3, 7}, "   007", 6},
      {"%0*d", {4, 7}, "0007", 4},
      {"%3*d", {5, 42}, "   42", 5},  // a later width overwrites an earlier one
      {"%*3d", {5, 42}, " 42", 3},
      {"%.2.4d", {7}, "0007", 4},
      {"%.05d", {7}, "00007", 5},
      {"%2d", {12345}, "12345", 5},
  });
}

TEST(PrintEngine, ThousandsGrouping) {
  Check({
      {"%,d", {1234567}, "1,234,567", 9},
      {"%,d", {static_cast<UINT64>(-1234)}, "-1,234", 6},
      {"%,d", {100}, "100", 3},
      {"%,d", {1000}, "1,000", 5},
      {"%,d", {0}, "0", 1},
      {"%,d", {123456}, "123,456", 7},
      {"%,010d", {1234}, "     1,234", 10},
      {"%,8d|", {1234}, "   1,234|", 9},
      {"%-,8d|", {1234}, "1,234   |", 9},
      {"%+,d", {1234567}, "+1,234,567", 10},
      {"%,.6d", {12}, "12", 2},  // grouping overrides any precision
      {"%,.0d", {0}, "0", 1},
      {"%,ld", {0x8000000000000000ull}, "-9,223,372,036,854,775,808", 26},
      {"%,x", {0x123456}, "123456", 6},
  });
}

TEST(PrintEngine, Hexadecimal) {
  Check({
      {"%x", {255}, "FF", 2},
      {"%x", {0xABCDEF}, "ABCDEF", 6},
      {"%X", {255}, "FF", 2},
      {"%X", {0}, "0", 1},
      {"%8X", {255}, "000000FF", 8},
      {"%8x", {255}, "      FF", 8},
      {"%08x", {255}, "000000FF", 8},
      {"%-8X|", {255}, "FF      |", 9},
      {"%.4x", {255}, "00FF", 4},
      {"%8.4X", {255}, "    00FF", 8},
      {"%.0x", {0}, "", 0},
      {"%x", {0xFFFFFFFF}, "FFFFFFFF", 8},
      {"%x", {static_cast<UINT64>(-1)}, "FFFFFFFF", 8},
      {"%lx", {static_cast<UINT64>(-1)}, "FFFFFFFFFFFFFFFF", 16},
      {"%lX", {0x123456789ABCDEF0ull}, "123456789ABCDEF0", 16},
      {"%x", {0x123456789ABCDEF0ull}, "9ABCDEF0", 8},
      {"%+x", {255}, "+FF", 3},
      {"% x", {255}, " FF", 3},
      {"%+8X", {255}, "+00000FF", 8},
      {"%+x", {0xFFFFFFFF}, "+FFFFFFFF", 9},
  });
}

TEST(PrintEngine, Pointer) {
  Check({
      {"%p", {0x7F3A10}, "7F3A10", 6},
      {"%16p", {0x7F3A10}, "00000000007F3A10", 16},
      {"%-16p|", {0x7F3A10}, "7F3A10          |", 17},
      {"%+p", {0x10}, "10", 2},
      {"% p", {0x10}, "10", 2},
      {"%p", {0xFFFFFFFFFFFFFFFFull}, "FFFFFFFFFFFFFFFF", 16},
      {"%p", {0}, "0", 1},
  });
}

const CHAR16 kWide[] = {u'h', u'i', 0x0142, 0};  // 0x0142 is written as its low byte, 'B'

TEST(PrintEngine, Strings) {
  Check({
      {"%a", {Slot("abc")}, "abc", 3},
      {"%a", {Slot("")}, "", 0},
      {"%a", {0}, "<null string>", 13},
      {"%.2a", {Slot("abcd")}, "ab", 2},
      {"%.5a", {Slot("ab")}, "   ab", 5},
      {"%.0a", {Slot("abcd")}, "", 0},
      {"%.a", {Slot("abcd")}, "a", 1},
      {"%6a", {Slot("ab")}, "    ab", 6},
      {"%-6a|", {Slot("ab")}, "ab    |", 7},
      {"%06a", {Slot("ab")}, "    ab", 6},
      {"%+a", {Slot("ab")}, "ab", 2},
      {"%2a", {Slot("hello")}, "hello", 5},
      {"%.4a", {0}, "<nul", 4},
      {"%.*a", {3, Slot("abcdef")}, "abc", 3},
      {"%a", {Slot("line\nfeed")}, "line\nfeed", 9},  // only the format's line ends are rewritten
      {"%s", {Slot(kWide)}, "hiB", 3},
      {"%S", {Slot(kWide)}, "hiB", 3},
      {"%.1s", {Slot(kWide)}, "h", 1},
      {"%s", {0}, "<null string>", 13},
      {"%5S", {Slot(kWide)}, "  hiB", 5},
  });
}

TEST(PrintEngine, Characters) {
  Check({
      {"%c", {0x41}, "A", 1},
      {"%c", {0}, " ", 1},
      {"%c", {0x0141}, "A", 1},
      {"%c", {0x10041}, "A", 1},
      {"%3c", {0x41}, "  A", 3},
      {"%-3c|", {0x41}, "A  |", 4},
      {"%.0c", {0x41}, "", 0},  // a precision cuts the character too
      {"%c%c", {0x4F, 0x4B}, "OK", 2},
  });
}

TEST(PrintEngine, Guids) {
  UINT8 unaligned[17];
  memcpy(unaligned + 1, kGuidBytes, sizeof(kGuidBytes));
  Check({
      {"%g", {Slot(kGuidBytes)}, kGuidText, 36},
      {"%g", {Slot(unaligned + 1)}, kGuidText, 36},
      {"%g", {0}, "<null guid>", 11},
      {"%.8g", {Slot(kGuidBytes)}, "8497455B", 8},
      {"%40g|", {Slot(kGuidBytes)}, std::string("    ") + kGuidText + "|", 41},
      {"%-g|", {Slot(kGuidBytes)}, std::string(kGuidText) + "|", 37},
  });
}

TEST(PrintEngine, Times) {
  EFI_TIME time = {};
  time.Year = 2026;
  time.Month = 12;
  time.Day = 8;
  time.Hour = 4;
  time.Minute = 5;
  time.Second = 59;
  EFI_TIME late = time;
  late.Year = 99;
  late.Month = 1;
  late.Hour = 23;
  late.Minute = 0;
  Check({
      {"%t", {Slot(&time)}, "12/08/2026  04:05", 17},
      {"%t", {Slot(&late)}, "01/08/0099  23:00", 17},
      {"%t", {0}, "<null time>", 11},
      {"%.10t", {Slot(&time)}, "12/08/2026", 10},
  });
}

TEST(PrintEngine, Statuses) {
  Check({
      {"%r", {0}, "Success", 7},
      {"%r", {5}, "Warning Stale Data", 18},
      {"%r", {0x8000000000000001ull}, "Load Error", 10},
      {"%r", {0x800000000000000Eull}, "Not Found", 9},
      {"%r", {0x800000000000001Dull}, "Reserved (29)", 13},
      {"%r", {0x8000000000000019ull}, "Incompatible Version", 20},
      {"%r", {0x8000000000000021ull}, "Compromised Data", 16},
      {"%r", {6}, "00000006", 8},
      {"%r", {0x8000000000000022ull}, "00000022", 8},
      {"%r", {0x8000000000000000ull}, "00000000", 8},
      {"%r", {0x8000000100000003ull}, "00000003", 8},
      {"%r", {0x0000000100000000ull}, "00000000", 8},
      {"%12r", {0}, "     Success", 12},
      {"%.3r", {0x800000000000000Eull}, "Not", 3},
  });
}

TEST(PrintEngine, StatusTableHasEveryRow) {
  // Each listed status (warnings 0-5, errors 1-33) prints a name of its own,
  // a warning's saying so; the counting pass measures it as written.
  std::set<std::string> names;
  for (UINT64 status = 0; status <= 0x8000000000000021ull; status = status == 5 ? 0x8000000000000001ull : status + 1) {
    CHAR8 text[64];
    const UINTN length = AsciiSPrint(text, sizeof text, "%r", status);
    const std::string name(text);
    SCOPED_TRACE(name);
    EXPECT_EQ(length, name.size());
    EXPECT_EQ(SPrintWithFlags(nullptr, 0, FMT_COUNT_ONLY, "%r", status), length);
    EXPECT_TRUE(names.insert(name).second) << "printed for another status too";
    EXPECT_EQ(name.rfind("Warning ", 0) == 0, status >= 1 && status <= 5);
    EXPECT_NE(name.find_first_not_of("0123456789ABCDEF"), std::string::npos) << "printed as a number";
  }
  EXPECT_EQ(names.size(), 39u);
  EXPECT_STREQ(mHexDigits, "0123456789ABCDEF");
}

TEST(PrintEngine, ArgumentsAreTakenInFormatOrder) {
  Check({
      {"%d %a %x", {1, Slot("two"), 3}, "1 two 3", 7},
      {"%*d|%-*a|", {3, 1, 4, Slot("ab")}, "  1|ab  |", 9},
      {"%r %g", {0x800000000000000Eull, Slot(kGuidBytes)}, std::string("Not Found ") + kGuidText, 46},
  });
}

// Truncation: {format, arguments, buffer size, expected text, expected count}.
struct CutRow {
  const char *format;
  std::vector<UINT64> args;
  UINTN bufferSize;
  std::string expected;
  UINTN count;
};

TEST(PrintEngine, TruncationKeepsTheTerminatorAndCountsWhatWasWritten) {
  const std::vector<CutRow> rows = {
      {"hello", {}, 4, "hel", 3},
      {"hello", {}, 1, "", 0},
      {"hello", {}, 6, "hello", 5},
      {"%5d", {42}, 4, "   ", 3},
      {"ab%dcd", {12345}, 5, "ab12", 4},
      {"%,d", {1234567}, 4, "1,2", 3},
      {"%-6a|", {Slot("ab")}, 5, "ab  ", 4},
      {"a\nb", {}, 3, "a\r", 2},
      {"%g", {Slot(kGuidBytes)}, 9, "8497455B", 8},
      {"%a", {Slot("abcdef")}, 256, "abcdef", 6},
  };
  for (const CutRow &row : rows) {
    SCOPED_TRACE(std::string("format \"") + row.format + "\" size " + std::to_string(row.bufferSize));
    const Rendered r = Render(row.format, row.args, row.bufferSize, 0, true);
    EXPECT_EQ(r.text, row.expected);
    EXPECT_EQ(r.count, row.count);
  }
}

TEST(PrintEngine, HugeWidthsAndPrecisionsStopAtTheEnd) {
  // Fills end at the buffer's end; counting adds them without writing.
  Rendered r = Render("%999999999999d|", {5}, 16, 0, true);
  EXPECT_EQ(r.text, std::string(15, ' '));
  EXPECT_EQ(r.count, 15u);
  EXPECT_EQ(Render("%999999999999d|", {5}, 0, FMT_COUNT_ONLY, true).count, 1000000000000u);
  r = Render("%.*a|", {~0ull >> 1, Slot("ab")}, 8, 0, true);
  EXPECT_EQ(r.text, std::string(7, ' '));
  // A fill of 2^63 characters or more is a negative repeat count: nothing.
  r = Render("%*d|", {~0ull, 5}, 16, 0, true);
  EXPECT_EQ(r.text, "5|");
  EXPECT_EQ(Render("%*d|", {~0ull, 5}, 0, FMT_COUNT_ONLY, true).count, 2u);
}

TEST(PrintEngine, ZeroSizeBufferIsNotTouched) {
  unsigned char guard[4] = {kGuard, kGuard, kGuard, kGuard};
  EXPECT_EQ(AsciiSPrint(reinterpret_cast<CHAR8 *>(guard), 0, "hello %d", 5), 0u);
  for (unsigned char byte : guard) EXPECT_EQ(byte, kGuard);
}

TEST(PrintEngine, CountOnly) {
  char buffer[8];
  memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(SPrintWithFlags(nullptr, 0, FMT_COUNT_ONLY, "%5d", 42), 5u);
  EXPECT_EQ(SPrintWithFlags(nullptr, 0, FMT_COUNT_ONLY, "%2a", "hello"), 5u);
  EXPECT_EQ(SPrintWithFlags(buffer, 0, FMT_COUNT_ONLY, "%2a", "hello"), 5u);  // size 0: no buffer
  EXPECT_EQ(SPrintWithFlags(buffer, 1, FMT_COUNT_ONLY, "hello"), 0u);         // end equals start
  EXPECT_EQ(SPrintWithFlags(buffer, 3, FMT_COUNT_ONLY, "hello"), 5u);         // not cut at the size
  EXPECT_EQ(SPrintWithFlags(nullptr, 0, FMT_COUNT_ONLY | FMT_OUTPUT_UCS2, "a\nb%r", EFI_SUCCESS), 11u);
  for (char c : buffer) EXPECT_EQ(c, 'z') << "counting wrote into the buffer";
}

// 16-bit output and 16-bit format characters.
std::vector<unsigned char> EFIAPI RenderBytes(UINTN flags, const void *format, UINTN bufferSize, size_t offset, ...) {
  std::vector<unsigned char> storage(offset + bufferSize * 2 + kGuardBytes, kGuard);
  VA_LIST list;
  VA_START(list, offset);
  FormatIntoBuffer(reinterpret_cast<CHAR8 *>(storage.data() + offset), bufferSize, flags,
                   static_cast<const CHAR8 *>(format), list, nullptr);
  VA_END(list);
  return storage;
}

TEST(PrintEngine, SixteenBitOutput) {
  char buffer[16];
  memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(SPrintWithFlags(buffer, 4, FMT_OUTPUT_UCS2, "a%c", 0x0142), 2u);
  const char expected[] = {'a', 0, 0x42, 0x01, 0, 0};
  EXPECT_EQ(0, memcmp(buffer, expected, sizeof(expected)));
  EXPECT_EQ(buffer[6], 'z');

  memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(SPrintWithFlags(buffer, 3, FMT_OUTPUT_UCS2, "%a", "abc"), 2u);  // cut: two characters and the terminator
  const char cut[] = {'a', 0, 'b', 0, 0, 0};
  EXPECT_EQ(0, memcmp(buffer, cut, sizeof(cut)));
  EXPECT_EQ(buffer[6], 'z');
}

TEST(PrintEngine, SixteenBitFormatReadBytewiseAtAnyAlignment) {
  // u"x%dy\u0141" one byte past an even address; 0x0141 in 8-bit output is 'A'.
  unsigned char format[1 + 12];
  const CHAR16 units[] = {u'x', u'%', u'd', u'y', 0x0141, 0};
  memcpy(format + 1, units, sizeof(units));
  char buffer[16] = {};
  EXPECT_EQ(SPrintWithFlags(buffer, sizeof(buffer), FMT_FORMAT_UCS2, reinterpret_cast<const CHAR8 *>(format + 1), 5),
            4u);
  EXPECT_STREQ(buffer, "x5yA");

  const std::vector<unsigned char> both = RenderBytes(FMT_FORMAT_UCS2 | FMT_OUTPUT_UCS2, format + 1, 8, 1, 5);
  const unsigned char expected[] = {'x', 0, '5', 0, 'y', 0, 0x41, 0x01, 0, 0};
  EXPECT_EQ(0, memcmp(both.data() + 1, expected, sizeof(expected)));
  EXPECT_EQ(both[1 + 8 * 2], kGuard);
}

TEST(PrintEngine, VariadicFrontEnds) {
  char buffer[64];
  EXPECT_EQ(AsciiSPrint(buffer, sizeof(buffer), "%a(%d): %r %lx %c", "f", 7, EFI_NOT_FOUND, 0x123456789ull, 'Z'), 27u);
  EXPECT_STREQ(buffer, "f(7): Not Found 123456789 Z");
  EXPECT_EQ(SPrintWithFlags(buffer, sizeof(buffer), 0, "%08X|%-4d|", 0xBEEF, -3), 14u);
  EXPECT_STREQ(buffer, "0000BEEF|-3  |");
}

TEST(PrintEngine, FillRepeatedStopsAtTheEnd) {
  char buffer[8];
  memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(FillRepeated(buffer, buffer + 5, 100, '-', 1), buffer + 5);
  EXPECT_EQ(std::string(buffer, 8), "-----zzz");
  EXPECT_EQ(FillRepeated(buffer, buffer + 5, 0, '#', 1), buffer);
  EXPECT_EQ(FillRepeated(buffer, buffer + 5, -3, '#', 1), buffer);
  EXPECT_EQ(FillRepeated(buffer, buffer + 4, 3, 0x4142, 2), buffer + 4);
  EXPECT_EQ(std::string(buffer, 8), "BABA-zzz");
}

TEST(PrintEngine, ValueToReversedDigits) {
  CHAR8 scratch[VALUE_TEXT_CHARACTERS];
  CHAR8 *last = ValueToReversedDigits(scratch, 1234, 10);
  EXPECT_EQ(last - scratch, 4);
  EXPECT_EQ(std::string(scratch + 1, 4), "4321");
  EXPECT_EQ(scratch[0], 0);
  last = ValueToReversedDigits(scratch, 0, 16);
  EXPECT_EQ(last - scratch, 1);
  EXPECT_EQ(scratch[1], '0');
  last = ValueToReversedDigits(scratch, 0xFFFFFFFFFFFFFFFFull, 10);
  EXPECT_EQ(std::string(scratch + 1, static_cast<size_t>(last - scratch)), "51615590737044764481");
}

}  // namespace
