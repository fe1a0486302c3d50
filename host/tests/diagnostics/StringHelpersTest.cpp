// String lengths and sizes, 64-by-32 division and unaligned reads.

#include <cstring>
#include <string>

#include "DiagnosticsFixture.h"
#include "Library/BaseLib.h"
#include "support/TestSupport.h"

namespace {

TEST(StringHelpers, LengthsAndSizes) {
  EXPECT_EQ(AsciiStrLen(""), 0u);
  EXPECT_EQ(AsciiStrSize(""), 1u);
  EXPECT_EQ(StrLen(u""), 0u);
  EXPECT_EQ(StrSize(u""), 2u);
  EXPECT_EQ(AsciiStrLen("ASSERT "), 7u);
  EXPECT_EQ(AsciiStrSize("ASSERT "), 8u);
  EXPECT_EQ(StrLen(u"ASSERT "), 7u);
  EXPECT_EQ(StrSize(u"ASSERT "), 16u);
  EXPECT_EQ(AsciiStrLen("\xFF\x80"), 2u);
}

TEST(StringHelpers, ZeroByteInsideAUnitDoesNotEndAWideString) {
  const CHAR16 units[] = {0x4100, 0};
  EXPECT_EQ(StrLen(units), 1u);
  const CHAR16 low[] = {0x0041, 0x0100, 0};
  EXPECT_EQ(StrLen(low), 2u);
}

TEST(StringHelpers, WideStringsNeedNoAlignment) {
  unsigned char bytes[1 + 8];
  const CHAR16 units[] = {u'a', u'b', u'c', 0};
  memcpy(bytes + 1, units, sizeof(units));
  EXPECT_EQ(StrLen(reinterpret_cast<const CHAR16 *>(bytes + 1)), 3u);
}

TEST(StringHelpers, LongStringsMeasureWithoutAReportWhenUnbounded) {
  sim::Platform platform;
  testsupport::BreakpointCounter breakpoints;
  const std::string text(100000, 'q');
  EXPECT_EQ(AsciiStrLen(text.c_str()), 100000u);
  const std::u16string wide(70000, u'w');
  EXPECT_EQ(StrLen(wide.c_str()), 70000u);
  platform.uart.DrainAll();
  EXPECT_EQ(platform.uart.Sent(), "");
  EXPECT_EQ(breakpoints.Count(), 0);
}

TEST(StringHelpers, DivisionWithRemainder) {
  UINT32 remainder = 0;
  EXPECT_EQ(DivU64x32Remainder(0xFFFFFFFFFFFFFFFFull, 10, &remainder), 1844674407370955161ull);
  EXPECT_EQ(remainder, 5u);
  EXPECT_EQ(DivU64x32Remainder(0xFFFFFFFFFFFFFFFFull, 16, &remainder), 0x0FFFFFFFFFFFFFFFull);
  EXPECT_EQ(remainder, 15u);
  EXPECT_EQ(DivU64x32Remainder(0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFF, &remainder), 0x100000001ull);
  EXPECT_EQ(remainder, 0u);
  EXPECT_EQ(DivU64x32Remainder(7, 10, nullptr), 0u);
  EXPECT_EQ(DivideU64ByU32(100, 7, &remainder), 14u);
  EXPECT_EQ(remainder, 2u);
}

TEST(StringHelpers, UnalignedReadsAreLittleEndian) {
  const UINT8 bytes[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(ReadUnaligned32(reinterpret_cast<const UINT32 *>(bytes + 1)), 0x44332211u);
  EXPECT_EQ(ReadUnaligned16(reinterpret_cast<const UINT16 *>(bytes + 3)), 0x4433u);
  EXPECT_EQ(ReadUnaligned32(reinterpret_cast<const UINT32 *>(bytes)), 0x33221100u);
}

}  // namespace
