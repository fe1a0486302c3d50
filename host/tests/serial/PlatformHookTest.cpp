// The platform hook: the legacy decode dword through 0xCF8/0xCFC, the five
// Super I/O updates, and the serial table only when neither serial logical
// device reads exactly 0x01.

#include "SerialTestSupport.h"

namespace {

using namespace sim;
using testsupport::TraceIs;

constexpr uint8_t kSerialA = 2, kSerialB = 3, kLogicalDevice11 = 0x11;

// The whole sequence, with both activate bytes 0x00 and the chip as reset left it.
// clang-format off
const std::vector<Access> kFullSequence = {
    IoW32(0xCF8, 0x8000F880), IoW32(0xCFC, 0x040B1010),  // legacy decode of 0:31.0, registers 0x80-0x83
    IoW8(0x370, 0x07), IoR8(0x371, 0x00), IoW8(0x371, 0x11),  // select logical device 0x11
    IoW8(0x370, 0x60), IoR8(0x371, 0x00), IoW8(0x371, 0x0C),  // base 0x0CB0
    IoW8(0x370, 0x61), IoR8(0x371, 0x00), IoW8(0x371, 0xB0),
    IoW8(0x370, 0xF0), IoR8(0x371, 0x00), IoW8(0x371, 0x00),  // clear bits 1-2
    IoW8(0x370, 0x30), IoR8(0x371, 0x00), IoW8(0x371, 0x01),  // activate
    IoW8(0x370, 0x07), IoW8(0x371, 0x02), IoW8(0x370, 0x30), IoR8(0x371, 0x00),  // serial A's activate byte
    IoW8(0x370, 0x07), IoW8(0x371, 0x03), IoW8(0x370, 0x30), IoR8(0x371, 0x00),  // serial B's activate byte
    IoW8(0x370, 0x07), IoW8(0x371, 0x02),  // serial A: 0x3F8, IRQ 4, active
    IoW8(0x370, 0x60), IoW8(0x371, 0x03),
    IoW8(0x370, 0x61), IoW8(0x371, 0xF8),
    IoW8(0x370, 0x70), IoW8(0x371, 0x04),
    IoW8(0x370, 0x30), IoW8(0x371, 0x01),
    IoW8(0x370, 0x07), IoW8(0x371, 0x03),  // serial B: 0x2F8, IRQ 3, active
    IoW8(0x370, 0x60), IoW8(0x371, 0x02),
    IoW8(0x370, 0x61), IoW8(0x371, 0xF8),
    IoW8(0x370, 0x70), IoW8(0x371, 0x03),
    IoW8(0x370, 0x30), IoW8(0x371, 0x01),
};
// clang-format on
constexpr size_t kDecodeAndUpdates = 2 + 15, kChecks = 8;

TEST(PlatformHook, BothSerialDevicesInactiveRunsTheWholeSequence) {
  Platform p;
  EXPECT_EQ(PlatformHookSerialPortInitialize(), EFI_SUCCESS);
  EXPECT_TRUE(TraceIs(p.bus.Trace(), kFullSequence));

  EXPECT_EQ(p.superIo.IoBase(kLogicalDevice11), 0x0CB0);
  EXPECT_TRUE(p.superIo.Active(kLogicalDevice11));
  EXPECT_EQ(p.superIo.IoBase(kSerialA), 0x3F8);
  EXPECT_EQ(p.superIo.Reg(kSerialA, 0x70), 4);
  EXPECT_TRUE(p.superIo.Active(kSerialA));
  EXPECT_EQ(p.superIo.IoBase(kSerialB), 0x2F8);
  EXPECT_EQ(p.superIo.Reg(kSerialB, 0x70), 3);
  EXPECT_TRUE(p.superIo.Active(kSerialB));
  EXPECT_EQ(p.superIo.SelectedDevice(), kSerialB);
  EXPECT_EQ(p.configPorts.Address(), 0x8000F880u);  // left as written
}

TEST(PlatformHook, DecodeDwordReachesTheLpcBridgeThroughTheConfigurationPorts) {
  Platform p;
  p.lpc.SetDword(0x80, 0xFFFFFFFF);  // replaced, not merged
  PlatformHookSerialPortInitialize();
  EXPECT_EQ(p.lpc.Byte(0x80), 0x10);
  EXPECT_EQ(p.lpc.Byte(0x81), 0x10);
  EXPECT_EQ(p.lpc.Byte(0x82), 0x0B);
  EXPECT_EQ(p.lpc.Byte(0x83), 0x04);
  EXPECT_EQ(p.bus.Read(Space::Mem, kPciExpressBase + 0xF8080, 32), 0x040B1010u);  // same space as the window
  EXPECT_TRUE(p.lpc.Locked());
}

struct ActivateCase {
  uint8_t serialA, serialB;
  bool tableWritten;
};

class PlatformHookActivate : public ::testing::TestWithParam<ActivateCase> {};

TEST_P(PlatformHookActivate, SerialTableOnlyWhenNeitherDeviceReadsExactlyOne) {
  const ActivateCase c = GetParam();
  Platform p;
  p.superIo.Reg(kSerialA, 0x30) = c.serialA;
  p.superIo.Reg(kSerialB, 0x30) = c.serialB;
  EXPECT_EQ(PlatformHookSerialPortInitialize(), EFI_SUCCESS);

  std::vector<Access> expected(kFullSequence.begin(), kFullSequence.begin() + kDecodeAndUpdates + kChecks);
  expected[kDecodeAndUpdates + 3].value = c.serialA;
  expected[kDecodeAndUpdates + 7].value = c.serialB;
  if (c.tableWritten)
    expected.insert(expected.end(), kFullSequence.begin() + kDecodeAndUpdates + kChecks, kFullSequence.end());
  EXPECT_TRUE(TraceIs(p.bus.Trace(), expected));
  EXPECT_EQ(p.superIo.SelectedDevice(), kSerialB);
  if (!c.tableWritten) {
    EXPECT_EQ(p.superIo.Reg(kSerialB, 0x30), c.serialB);  // left as it was
    EXPECT_EQ(p.superIo.IoBase(kSerialA), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(ActivateBytes, PlatformHookActivate,
                         ::testing::Values(ActivateCase{0x00, 0x00, true}, ActivateCase{0x01, 0x00, false},
                                           ActivateCase{0x00, 0x01, false}, ActivateCase{0x03, 0x00, true},
                                           ActivateCase{0x01, 0x01, false}, ActivateCase{0x00, 0x81, true}));

struct UpdateCase {
  uint8_t index, before, written;
};

class PlatformHookUpdate : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(PlatformHookUpdate, EachRowReadsThenWritesItsReadModifyWriteValue) {
  const UpdateCase c = GetParam();
  Platform p;
  if (c.index == 0x07) {
    p.superIo.Global(0x07) = c.before;
  } else {
    p.superIo.Reg(kLogicalDevice11, c.index) = c.before;
  }
  PlatformHookSerialPortInitialize();

  const std::vector<Access> &t = p.bus.Trace();
  size_t row = 2;
  while (row < kDecodeAndUpdates && t[row].value != c.index) row += 3;
  ASSERT_LT(row, kDecodeAndUpdates);
  EXPECT_TRUE(
      TraceIs({t[row], t[row + 1], t[row + 2]}, {IoW8(0x370, c.index), IoR8(0x371, c.before), IoW8(0x371, c.written)}));
}

INSTANTIATE_TEST_SUITE_P(Rows, PlatformHookUpdate,
                         ::testing::Values(UpdateCase{0x07, 0x05, 0x11}, UpdateCase{0x07, 0xFF, 0x11},
                                           UpdateCase{0x60, 0xAA, 0x0C}, UpdateCase{0x61, 0x12, 0xB0},
                                           UpdateCase{0xF0, 0xFF, 0xF9}, UpdateCase{0xF0, 0x0E, 0x08},
                                           UpdateCase{0x30, 0x00, 0x01}, UpdateCase{0x30, 0xFE, 0xFF}));

TEST(PlatformHook, RepeatedCallFindsTheSerialDevicesActiveAndWritesNoTable) {
  Platform p;
  PlatformHookSerialPortInitialize();
  p.bus.ClearTrace();
  EXPECT_EQ(PlatformHookSerialPortInitialize(), EFI_SUCCESS);
  EXPECT_EQ(p.bus.Trace().size(), kDecodeAndUpdates + kChecks);
  EXPECT_EQ(p.bus.Trace().back(), IoR8(0x371, 0x01));
}

TEST(PlatformHook, AbsentSuperIoStillReturnsSuccess) {
  Platform p;
  p.superIo.absent = true;
  EXPECT_EQ(PlatformHookSerialPortInitialize(), EFI_SUCCESS);
  // Activate bytes read 0xFF, which is not 0x01: the table goes out to nobody.
  EXPECT_EQ(p.bus.Trace().size(), kFullSequence.size());
}

}  // namespace
