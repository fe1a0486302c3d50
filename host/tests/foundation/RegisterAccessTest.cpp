// Port, memory-mapped and PCI Express register access: one access of the
// stated width per operation, seen on the simulated bus.

#include <gtest/gtest.h>

#include "AutoGen.h"
#include "Library/IoLib.h"
#include "Library/PciLib.h"
#include "support/TestSupport.h"
#include "sim/Platform.h"

using namespace sim;
using testsupport::TraceIs;

namespace {

// A plain register file in memory space: reads return what a test stored or
// what was last written, unless `readBack` says otherwise.
class RegisterFile : public Device {
 public:
  const char *Name() const override { return "Regs"; }
  uint32_t Read(Space, uint64_t offset, int width) override {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint32_t{bytes[offset + i]} << (8 * i);
    return v;
  }
  void Write(Space, uint64_t offset, int width, uint32_t value) override {
    if (ignoreWrites) return;
    for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  uint8_t bytes[64] = {};
  bool ignoreWrites = false;
};

class RegisterAccessTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kBase = 0xFED00000;
  void SetUp() override { platform.bus.MapMem(kBase, kBase + 63, &regs); }
  Platform platform;
  RegisterFile regs;
};

TEST_F(RegisterAccessTest, ReadsAndWritesAreSingleAccessesOfTheirWidth) {
  regs.bytes[4] = 0x34;
  regs.bytes[5] = 0x12;
  EXPECT_EQ(MmioRead8(kBase + 4), 0x34);
  EXPECT_EQ(MmioRead16(kBase + 4), 0x1234);
  EXPECT_EQ(MmioRead32(kBase + 4), 0x1234u);
  EXPECT_EQ(MmioWrite8(kBase + 8, 0xAB), 0xAB);
  EXPECT_EQ(MmioWrite16(kBase + 10, 0xBEEF), 0xBEEF);
  EXPECT_EQ(MmioWrite32(kBase + 12, 0xCAFEF00D), 0xCAFEF00Du);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(kBase + 4, 0x34),
                                                MemR16(kBase + 4, 0x1234),
                                                MemR32(kBase + 4, 0x1234),
                                                MemW8(kBase + 8, 0xAB),
                                                MemW16(kBase + 10, 0xBEEF),
                                                MemW32(kBase + 12, 0xCAFEF00D),
                                            }));
}

TEST_F(RegisterAccessTest, WritesReturnTheValuePassedNotWhatTheRegisterHolds) {
  regs.ignoreWrites = true;
  EXPECT_EQ(MmioWrite16(kBase, 0x5AA5), 0x5AA5);
  EXPECT_EQ(MmioWrite32(kBase, 0x12345678), 0x12345678u);
  // No read-back.
  EXPECT_EQ(platform.bus.Trace().size(), 2u);
}

TEST_F(RegisterAccessTest, ReadModifyWriteIsOneReadThenOneWrite) {
  regs.bytes[0] = 0x80;
  EXPECT_EQ(MmioOr8(kBase, 0x01), 0x81);
  EXPECT_EQ(MmioOr8(kBase, 0x01), 0x81);  // already set: still written
  regs.bytes[2] = 0x03;
  EXPECT_EQ(MmioAnd16(kBase + 2, 0xFFFC), 0x0000);
  regs.bytes[4] = 0x10;
  EXPECT_EQ(MmioOr16(kBase + 4, 0x0101), 0x0111);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(kBase, 0x80), MemW8(kBase, 0x81),
                                                MemR8(kBase, 0x81), MemW8(kBase, 0x81),
                                                MemR16(kBase + 2, 0x0003), MemW16(kBase + 2, 0x0000),
                                                MemR16(kBase + 4, 0x0010), MemW16(kBase + 4, 0x0111),
                                            }));
}

TEST_F(RegisterAccessTest, PortsAreSelectedByTheLowSixteenBits) {
  struct Port : Device {
    const char *Name() const override { return "Port"; }
    uint32_t Read(Space, uint64_t, int) override { return 0x5A; }
    void Write(Space, uint64_t, int, uint32_t) override {}
  } port;
  platform.bus.MapIo(0x370, 0x373, &port);
  EXPECT_EQ(IoRead8(0x10370), 0x5A);
  EXPECT_EQ(IoWrite8(0xFFFF0371, 0x11), 0x11);
  EXPECT_EQ(IoWrite32(0x20370, 0xDEADBEEF), 0xDEADBEEFu);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {IoR8(0x370, 0x5A), IoW8(0x371, 0x11), IoW32(0x370, 0xDEADBEEF)}));
}

TEST_F(RegisterAccessTest, PciExpressReachesTheWindowAtTheBaseVariable) {
  EXPECT_EQ(reinterpret_cast<UINTN>(GetPciExpressBaseAddress()), 0x80000000u);
  platform.lpc.Byte(0x4C) = 0x01;
  EXPECT_EQ(PciExpressRead8(0xF804C), 0x01);
  EXPECT_EQ(PciExpressRead16(0xF8000), 0x8086);
  EXPECT_EQ(PciExpressRead8(0x0FFFFFFF), 0xFF);  // last byte of the window: absent function
  const UINT64 saved = PcdPciExpressBaseAddress;
  PcdPciExpressBaseAddress = 0x1000000000;  // a window above 4 GiB: base and address add in 64 bits
  EXPECT_EQ(PciExpressWrite32(0xF8080, 0x040B1010), 0x040B1010u);
  PcdPciExpressBaseAddress = saved;
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(0x800F804C, 0x01),
                                                MemR16(0x800F8000, 0x8086),
                                                MemR8(0x8FFFFFFF, 0xFF),
                                                MemW32(0x10000F8080, 0x040B1010),
                                            }));
}

TEST_F(RegisterAccessTest, GenericPciOperationsForwardUnchanged) {
  const UINTN lpc = PCI_LIB_ADDRESS(0, 31, 0, 0);
  EXPECT_EQ(lpc, 0xF8000u);
  EXPECT_EQ(PciRead8(lpc + 0x0B), 0x06);
  EXPECT_EQ(PciWrite32(lpc + 0x80, 0x040B1010), 0x040B1010u);
  EXPECT_EQ(PciRead32(lpc + 0x80), 0x040B1010u);
  EXPECT_EQ(PciOr16(lpc + 0x04, 0x0003), 0x0003);
  EXPECT_EQ(PciAnd16(lpc + 0x04, 0xFFFE), 0x0002);
  EXPECT_EQ(PciRead16(lpc + 0x04), 0x0002);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(0x800F800B, 0x06),
                                                MemW32(0x800F8080, 0x040B1010),
                                                MemR32(0x800F8080, 0x040B1010),
                                                MemR16(0x800F8004, 0x0000), MemW16(0x800F8004, 0x0003),
                                                MemR16(0x800F8004, 0x0003), MemW16(0x800F8004, 0x0002),
                                                MemR16(0x800F8004, 0x0002),
                                            }));
}

}  // namespace
