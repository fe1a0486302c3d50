// The UART found on PCI: bridge checks, BAR choice and default base, window
// check, command enables and D0 wake (UART first, bridges after), in I/O and
// memory space; and what bring-up and transmit make of a path that fails.

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "SerialTestSupport.h"
#include "sim/BoardLayout.h"
#include "sim/PciBridge.h"
#include "sim/PciUart.h"
#include "sim/TraceText.h"

namespace {

using namespace sim;
using serialtest::ScriptedRegister;
using testsupport::DeviceTraceIs;
using testsupport::TraceIs;
using Bar = PciUart::Bar;

// Root port 0:1C.0 (power management at 0x44), UART 1:00.0 (0x44), I/O.
struct IoPathSettings : ConfiguredSerialPortSettings {
  static constexpr UINT64 RegisterBase = 0xE000;
  static constexpr UINT8 PciDeviceInfo[] = {0x1C, 0x00, 0x44, 0x00, 0x00, 0x00, 0x44, 0x00, 0xFF, 0x00, 0x00, 0x00};
};
// UART 0:1E.2 with no bridge and no power management, I/O, default base 0x3F8.
struct Bus0Settings : ConfiguredSerialPortSettings {
  static constexpr UINT8 PciDeviceInfo[] = {0x1E, 0x02, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
};
// Root port 0:1C.0, switch port 1:00.0, UART 2:00.0, memory-mapped; an empty
// BAR gets the low 32 bits of the 64-bit default base.
struct MmioPathSettings : ConfiguredSerialPortSettings {
  static constexpr BOOLEAN UseMmio = TRUE;
  static constexpr UINT64 RegisterBase = 0x1FE010000;
  static constexpr UINT8 PciDeviceInfo[] = {0x1C, 0x00, 0x44, 0x00, 0x00, 0x00, 0x44, 0x00,
                                            0x00, 0x00, 0x44, 0x00, 0xFF, 0x00, 0x00, 0x00};
};
// The same path in I/O space.
struct IoTwoBridgeSettings : IoPathSettings {
  static constexpr const auto &PciDeviceInfo = MmioPathSettings::PciDeviceInfo;
};

// Path lists the build refuses.
constexpr UINT8 kNoTerminator[] = {0x1C, 0x00, 0x44, 0x00};
constexpr UINT8 kCutEntry[] = {0x1C, 0x00, 0x44};
constexpr UINT8 kRegisterOutside[] = {0x1C, 0x00, 0xFF, 0x0F, 0xFF, 0x00, 0x00, 0x00};
constexpr UINT8 kRegisterOdd[] = {0x1C, 0x00, 0x45, 0x00, 0xFF, 0x00, 0x00, 0x00};
static_assert(!SerialPciDeviceListIsValid(kNoTerminator, sizeof kNoTerminator), "");
static_assert(!SerialPciDeviceListIsValid(kCutEntry, sizeof kCutEntry), "");
static_assert(!SerialPciDeviceListIsValid(kRegisterOutside, sizeof kRegisterOutside), "");
static_assert(!SerialPciDeviceListIsValid(kRegisterOdd, sizeof kRegisterOdd), "");
static_assert(SerialPciDeviceListIsValid(MmioPathSettings::PciDeviceInfo, sizeof MmioPathSettings::PciDeviceInfo), "");

// A board's platform is laid out from the same bytes the module reads.
TEST(PciPathList, TheSimulatedBoardReadsThePathTheModuleReads) {
  using Hops = std::vector<std::tuple<int, int, int>>;
  const struct {
    const UINT8 *info;
    size_t size;
    Hops hops;
  } rows[] = {
      {IoPathSettings::PciDeviceInfo, sizeof IoPathSettings::PciDeviceInfo, {{0x1C, 0, 0x44}, {0, 0, 0x44}}},
      {Bus0Settings::PciDeviceInfo, sizeof Bus0Settings::PciDeviceInfo, {{0x1E, 2, 0}}},
      {MmioPathSettings::PciDeviceInfo,
       sizeof MmioPathSettings::PciDeviceInfo,
       {{0x1C, 0, 0x44}, {0, 0, 0x44}, {0, 0, 0x44}}},
  };
  for (const auto &r : rows) {
    Hops hops;
    for (const PciHop &h : PciPathFrom(r.info, r.size))
      hops.emplace_back(h.device, h.function, h.powerManagementRegister);
    EXPECT_EQ(hops, r.hops);
  }
}

using IoPath = SerialPortLibT<IoPathSettings>;
using Bus0 = SerialPortLibT<Bus0Settings>;
using MmioPath = SerialPortLibT<MmioPathSettings>;
using IoTwoBridges = SerialPortLibT<IoTwoBridgeSettings>;

constexpr uint64_t kRootPort = kPciExpressBase + 0x0E0000;  // 0:1C.0
constexpr uint64_t kOnBus1 = kPciExpressBase + 0x100000;    // 1:00.0
constexpr uint64_t kOnBus2 = kPciExpressBase + 0x200000;    // 2:00.0

struct IoPathPlatform {
  Platform p;
  PciBridge rootPort{"RP", /*io32=*/false, 0x44};
  PciUart uart{"PUART", p.bus, p.clock, {Bar::Io, Bar::None, Bar::None, Bar::None, Bar::None, Bar::None}, 0, 0x44};
  IoPathPlatform() {
    rootPort.SetBuses(0, 1, 1);
    rootPort.SetIoWindow(0xE000, 0xEFFF);
    uart.SetPowerState(3);   // D3hot
    uart.Byte(0x45) = 0x01;  // PME enabled: the wake keeps it
    p.pci.Attach({0, 0x1C, 0}, &rootPort);
    p.pci.Attach({1, 0, 0}, &uart);
  }
};

TEST(PciPathIo, ChecksThePathAssignsTheBarThenEnablesAndWakesUartFirst) {
  IoPathPlatform s;
  EXPECT_EQ(IoPath::GetRegisterBase(), 0xE000u);
  // clang-format off
  const std::vector<Access> expected = {
      MemR8(kRootPort + 0x19, 0x01), MemR8(kRootPort + 0x1A, 0x01),  // secondary, subordinate bus
      MemR8(kRootPort + 0x1D, 0xE0), MemR8(kRootPort + 0x1C, 0xE0),  // I/O window 0xE000-0xEFFF, 16-bit
      MemR32(kOnBus1 + 0x10, 0x00000001),                             // BAR0: I/O, empty
      MemR32(kOnBus1 + 0x10, 0x00000001), MemW32(kOnBus1 + 0x10, 0x0000E000),  // gets the fixed base
      MemR16(kOnBus1 + 0x04, 0x0000), MemW16(kOnBus1 + 0x04, 0x0001),          // I/O space enable
      MemR16(kOnBus1 + 0x44, 0x0103),                                          // D3hot...
      MemR16(kOnBus1 + 0x44, 0x0103), MemW16(kOnBus1 + 0x44, 0x0100),          // ...to D0
      IoW8(0xE002, 0x01),                                                      // FCR: FIFOs on, not cleared
      MemR16(kRootPort + 0x04, 0x0000), MemW16(kRootPort + 0x04, 0x0001),      // then the bridge
      MemR16(kRootPort + 0x44, 0x0000),                                        // already in D0
      MemR8(kRootPort + 0x19, 0x01),
  };
  // clang-format on
  EXPECT_TRUE(TraceIs(s.p.bus.Trace(), expected));
  EXPECT_TRUE(s.uart.Decoding());
  EXPECT_TRUE(s.uart.uart.FifosEnabled());
  EXPECT_EQ(s.rootPort.Command(), 0x0001);
}

TEST(PciPathIo, RepeatedLookupChangesNothingMore) {
  IoPathPlatform s;
  ASSERT_EQ(IoPath::GetRegisterBase(), 0xE000u);
  s.p.bus.ClearTrace();
  EXPECT_EQ(IoPath::GetRegisterBase(), 0xE000u);
  for (const Access &a : s.p.bus.Trace()) {
    if (a.dir != Dir::Write) continue;
    // Only the command registers' OR, writing back what they hold.
    EXPECT_TRUE(a.address == kOnBus1 + 4 || a.address == kRootPort + 4) << Describe(a);
    EXPECT_EQ(a.value, 0x0001u);
  }
}

TEST(PciPathIo, ConsoleComesUpAndSendsThroughThePath) {
  IoPathPlatform s;
  ASSERT_EQ(IoPath::Initialize(), EFI_SUCCESS);
  const std::string text = "over PCI\r\n";
  EXPECT_EQ(IoPath::Write(reinterpret_cast<const UINT8 *>(text.data()), text.size()), text.size());
  s.uart.uart.DrainAll();
  EXPECT_EQ(s.uart.uart.Sent(), text);
  EXPECT_EQ(s.p.uart.Sent(), "");  // nothing went to the legacy port
}

struct PathFailure {
  const char *what;
  uint8_t secondary, subordinate;
  uint32_t ioBase, ioLimit;
  size_t accessesBeforeGivingUp;
};
void PrintTo(const PathFailure &c, std::ostream *os) { *os << c.what; }

class PciPathIoFailure : public ::testing::TestWithParam<PathFailure> {};

TEST_P(PciPathIoFailure, BridgeChecksReturnZero) {
  const PathFailure c = GetParam();
  IoPathPlatform s;
  s.rootPort.SetBuses(0, c.secondary, c.subordinate);
  s.rootPort.SetIoWindow(c.ioBase, c.ioLimit);
  EXPECT_EQ(IoPath::GetRegisterBase(), 0u) << c.what;
  EXPECT_EQ(s.p.bus.Trace().size(), c.accessesBeforeGivingUp) << c.what;
  EXPECT_EQ(s.uart.Command(), 0u);
  EXPECT_EQ(IoPath::Initialize(), EFI_DEVICE_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Bridges, PciPathIoFailure,
                         ::testing::Values(PathFailure{"secondary bus 0", 0, 1, 0xE000, 0xEFFF, 2},
                                           PathFailure{"secondary above subordinate", 2, 1, 0xE000, 0xEFFF, 2},
                                           PathFailure{"inverted I/O window", 1, 1, 0xE000, 0xDFFF, 4}));

TEST(PciPathIo, EmptyBarKeepsItsNewAddressWhenTheWindowCheckFails) {
  IoPathPlatform s;
  s.rootPort.SetIoWindow(0xD000, 0xDFFF);  // the default base 0xE000 lies outside
  EXPECT_EQ(IoPath::GetRegisterBase(), 0u);
  EXPECT_EQ(s.uart.Dword(0x10), 0x0000E001u);  // written before the check, and left
  EXPECT_EQ(s.uart.Command(), 0u);             // nothing enabled
  EXPECT_EQ(s.uart.PowerState(), 3);
  EXPECT_EQ(s.p.bus.Trace().back(), MemW32(kOnBus1 + 0x10, 0x0000E000));
}

TEST(PciPathIo, ThirtyTwoBitIoWindowReadsTheUpperHalves) {
  IoPathPlatform s;
  PciBridge bridge32("RP32", /*io32=*/true, 0);
  bridge32.SetBuses(0, 1, 1);
  bridge32.Byte(0x1C) = 0x21;  // base 0x12000: bits 12-15 = 2, upper 16 bits 0x0001
  bridge32.Byte(0x1D) = 0x21;
  bridge32.SetWord(0x30, 0x0001);
  bridge32.SetWord(0x32, 0x0001);
  s.p.pci.Attach({0, 0x1C, 0}, &bridge32);
  // 0x12 lies above the ports 0x0-0xF in 4 KB units: the path is refused.
  EXPECT_EQ(IoPath::GetRegisterBase(), 0u);
  EXPECT_TRUE(TraceIs(s.p.bus.Trace(), {MemR8(kRootPort + 0x19, 0x01), MemR8(kRootPort + 0x1A, 0x01),
                                        MemR8(kRootPort + 0x1D, 0x21), MemR16(kRootPort + 0x32, 0x0001),
                                        MemR8(kRootPort + 0x1C, 0x21), MemR16(kRootPort + 0x30, 0x0001)}));

  // The decoded value, in 4 KB units: the upper word holds address bits
  // 31-16, read only when the low byte's type says 32-bit decoding.
  const struct {
    uint8_t low;
    uint16_t upper;
    uint32_t units;
  } ends[] = {{0x21, 0x0001, 0x12},
              {0xF1, 0xFFFF, 0xFFFFF},
              {0x01, 0x8000, 0x80000},
              {0x31, 0x0100, 0x1003},
              {0xF0, 0xFFFF, 0xF}};
  for (const auto &e : ends) {
    SCOPED_TRACE(e.upper);
    bridge32.Byte(0x1C) = e.low;
    bridge32.SetWord(0x30, e.upper);
    EXPECT_EQ(IoPath::BridgeIoWindowEnd(0xE0000, 0x1C, 0x30), e.units);  // 0:1C.0
  }

  // A byte of 0x20 (16-bit decoding) leaves the upper registers unread.
  s.p.bus.ClearTrace();
  bridge32.Byte(0x1C) = 0x20;
  bridge32.Byte(0x1D) = 0xF0;
  EXPECT_EQ(IoPath::GetRegisterBase(), 0xE000u);  // window 0x2000-0xFFFF
  for (const Access &a : s.p.bus.Trace()) {
    EXPECT_NE(a.address, kRootPort + 0x30);
    EXPECT_NE(a.address, kRootPort + 0x32);
  }
}

struct BarCase {
  const char *what;
  std::array<Bar, 6> kinds;
  std::array<uint32_t, 6> values;
  int uartBar;
  uint32_t result;
  bool barWritten;
};
void PrintTo(const BarCase &c, std::ostream *os) { *os << c.what; }

class PciBarChoice : public ::testing::TestWithParam<BarCase> {};

TEST_P(PciBarChoice, FirstBarOfTheWantedKind) {
  const BarCase c = GetParam();
  Platform p;
  PciUart uart("PUART", p.bus, p.clock, c.kinds, c.uartBar, 0);
  for (int i = 0; i < 6; ++i) uart.SetBar(i, c.values[i]);
  p.pci.Attach({0, 0x1E, 2}, &uart);
  EXPECT_EQ(Bus0::GetRegisterBase(), c.result) << c.what;
  size_t barWrites = 0;
  for (const Access &a : p.bus.Trace()) barWrites += (a.dir == Dir::Write && a.width == 32) ? 1 : 0;
  EXPECT_EQ(barWrites, c.barWritten ? 1u : 0u) << c.what;
  EXPECT_EQ(uart.Decoding(), c.result != 0) << c.what;
}

constexpr std::array<Bar, 6> kMemThenIo = {Bar::Mem32, Bar::Io, Bar::None, Bar::None, Bar::None, Bar::None};
constexpr std::array<Bar, 6> kIoOnly = {Bar::Io, Bar::None, Bar::None, Bar::None, Bar::None, Bar::None};
constexpr std::array<Bar, 6> kMemOnly = {Bar::Mem32, Bar::Mem64Low, Bar::Mem64High, Bar::Mem32, Bar::Mem32, Bar::Mem32};
constexpr std::array<Bar, 6> kIoInSlotFive = {Bar::None, Bar::None, Bar::None, Bar::None, Bar::None, Bar::Io};
constexpr std::array<Bar, 6> kMem64ThenIo = {Bar::Mem64Low, Bar::Mem64High, Bar::Io, Bar::None, Bar::None, Bar::None};

INSTANTIATE_TEST_SUITE_P(
    Bars, PciBarChoice,
    ::testing::Values(BarCase{"memory BAR0 skipped for I/O BAR1", kMemThenIo, {0xFE000000, 0xE001}, 1, 0xE000, false},
                      BarCase{"empty I/O BAR gets the fixed base", kIoOnly, {0x1}, 0, 0x3F8, true},
                      BarCase{"configured I/O BAR is kept", kIoOnly, {0x3F9}, 0, 0x3F8, false},
                      BarCase{"I/O BAR above 0xFFFF is outside the window", kIoOnly, {0x12001}, 0, 0, false},
                      BarCase{"no I/O BAR", kMemOnly, {0xFE000000}, 0, 0, false},
                      BarCase{"I/O BAR in the last slot", kIoInSlotFive, {0, 0, 0, 0, 0, 0x2F9}, 5, 0x2F8, false},
                      BarCase{"64-bit BAR's upper half", kMem64ThenIo, {0xFE000000, 1, 0x2F9}, 2, 0x3F8, true}));

TEST(PciPathIo, NoBaseMakesBringUpFailAndWritesSendNothing) {
  Platform p;  // nothing at 0:1E.2: every BAR reads all ones, bit 0 set, but the window check fails
  EXPECT_EQ(Bus0::Initialize(), EFI_DEVICE_ERROR);
  p.bus.ClearTrace();
  EXPECT_EQ(Bus0::Write(reinterpret_cast<const UINT8 *>("x"), 1), 0u);
  EXPECT_TRUE(DeviceTraceIs(p.bus, &p.uart, {}));
}

TEST(PciPathIo, PathThatStopsDecodingBetweenBurstsEndsTheWrite) {
  IoPathPlatform s;
  ASSERT_EQ(IoPath::Initialize(), EFI_SUCCESS);
  // The secondary bus reads 1 for the first lookup (two reads), then 0.
  ScriptedRegister secondary({0x01, 0x01, 0x00});
  s.p.bus.MapMem(kRootPort + 0x19, kRootPort + 0x19, &secondary);
  s.p.bus.ClearTrace();
  EXPECT_EQ(IoPath::Write(reinterpret_cast<const UINT8 *>("x"), 1), 0u);
  EXPECT_TRUE(DeviceTraceIs(s.p.bus, &s.uart.uart, {}));  // not even IIR at address 2
}

struct MmioPathPlatform {
  Platform p;
  PciBridge rootPort{"RP", false, 0x44};
  PciBridge switchPort{"SW", false, 0x44};
  PciUart uart{"PUART", p.bus, p.clock, {Bar::Io, Bar::Mem32, Bar::None, Bar::None, Bar::None, Bar::None}, 1, 0x44};
  MmioPathPlatform() {
    rootPort.SetBuses(0, 1, 2);
    rootPort.SetMemoryWindow(0xFE000000, 0xFEFFFFFF);
    switchPort.SetBuses(1, 2, 2);
    switchPort.SetMemoryWindow(0xFE000000, 0xFE0FFFFF);
    switchPort.SetPowerState(3);
    p.pci.Attach({0, 0x1C, 0}, &rootPort);
    p.pci.Attach({1, 0, 0}, &switchPort);
    p.pci.Attach({2, 0, 0}, &uart);
  }
};

TEST(PciPathMmio, TwoBridgesToAMemoryMappedUart) {
  MmioPathPlatform s;
  EXPECT_EQ(MmioPath::GetRegisterBase(), 0xFE010000u);
  // clang-format off
  const std::vector<Access> expected = {
      MemR8(kRootPort + 0x19, 0x01), MemR8(kRootPort + 0x1A, 0x02),
      MemR16(kRootPort + 0x22, 0xFEF0), MemR16(kRootPort + 0x20, 0xFE00),  // limit, then base
      MemR8(kOnBus1 + 0x19, 0x02), MemR8(kOnBus1 + 0x1A, 0x02),
      MemR16(kOnBus1 + 0x22, 0xFE00), MemR16(kOnBus1 + 0x20, 0xFE00),
      MemR32(kOnBus2 + 0x10, 0x00000001),  // I/O BAR skipped
      MemR32(kOnBus2 + 0x14, 0x00000000),  // memory BAR1, empty
      MemR32(kOnBus2 + 0x14, 0x00000000), MemW32(kOnBus2 + 0x14, 0xFE010000),
      MemR16(kOnBus2 + 0x04, 0x0000), MemW16(kOnBus2 + 0x04, 0x0002),  // memory space enable
      MemR16(kOnBus2 + 0x44, 0x0000),                                  // UART already in D0: no FCR write
      MemR16(kRootPort + 0x04, 0x0000), MemW16(kRootPort + 0x04, 0x0002),
      MemR16(kRootPort + 0x44, 0x0000),
      MemR8(kRootPort + 0x19, 0x01),
      MemR16(kOnBus1 + 0x04, 0x0000), MemW16(kOnBus1 + 0x04, 0x0002),
      MemR16(kOnBus1 + 0x44, 0x0003), MemR16(kOnBus1 + 0x44, 0x0003), MemW16(kOnBus1 + 0x44, 0x0000),  // D0
      MemR8(kOnBus1 + 0x19, 0x02),
  };
  // clang-format on
  EXPECT_TRUE(TraceIs(s.p.bus.Trace(), expected));
  EXPECT_EQ(s.switchPort.PowerState(), 0);
}

// A memory base whose low bits are not address bits: the BAR gets only its
// address bits, never the type bits the UART's BAR keeps for itself.
struct UnalignedMmioSettings : MmioPathSettings {
  static constexpr UINT64 RegisterBase = 0x1FE01000F;
};
TEST(PciPathMmio, TheBarIsGivenOnlyItsAddressBits) {
  MmioPathPlatform s;
  SerialPortLibT<UnalignedMmioSettings>::GetRegisterBase();
  std::vector<uint32_t> barWrites;
  for (const Access &a : s.p.bus.Trace())
    if (a.dir == Dir::Write && a.address == kOnBus2 + 0x14) barWrites.push_back(a.value);
  EXPECT_EQ(barWrites, std::vector<uint32_t>{0xFE010000});
}

TEST(PciPathMmio, WakingTheUartEnablesItsFifosInMemorySpace) {
  MmioPathPlatform s;
  s.uart.SetPowerState(3);
  EXPECT_EQ(MmioPath::GetRegisterBase(), 0xFE010000u);
  EXPECT_TRUE(DeviceTraceIs(s.p.bus, &s.uart.uart, {MemW8(0xFE010002, 0x01)}));  // FCR: FIFOs on, not cleared
  EXPECT_TRUE(s.uart.uart.FifosEnabled());
}

TEST(PciPathMmio, RegistersAreByteAccessesInMemorySpace) {
  MmioPathPlatform s;
  ASSERT_EQ(MmioPath::GetRegisterBase(), 0xFE010000u);
  s.p.bus.ClearTrace();
  MmioPath::ReadRegister(0xFE010000, 5);
  MmioPath::WriteRegister(0xFE010000, 3, 0x03);
  EXPECT_TRUE(TraceIs(s.p.bus.Trace(), {MemR8(0xFE010005, 0x60), MemW8(0xFE010003, 0x03)}));

  s.uart.uart.PowerOnReset();
  ASSERT_EQ(MmioPath::Initialize(), EFI_SUCCESS);
  const std::string text = "mapped\r\n";
  EXPECT_EQ(MmioPath::Write(reinterpret_cast<const UINT8 *>(text.data()), text.size()), text.size());
  s.uart.uart.DrainAll();
  EXPECT_EQ(s.uart.uart.Sent(), text);
  EXPECT_EQ(s.uart.uart.LineControl(), 0x03);
}

struct WindowCase {
  const char *what;
  uint32_t base, limit;
  bool ok;
};
void PrintTo(const WindowCase &c, std::ostream *os) { *os << c.what; }

class PciPathMmioWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(PciPathMmioWindow, InnerWindowMustLieInsideTheOuterOne) {
  const WindowCase c = GetParam();
  MmioPathPlatform s;
  s.switchPort.SetMemoryWindow(c.base, c.limit);
  EXPECT_EQ(MmioPath::GetRegisterBase() != 0, c.ok) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Windows, PciPathMmioWindow,
                         ::testing::Values(WindowCase{"inside", 0xFE000000, 0xFE0FFFFF, true},
                                           WindowCase{"inverted", 0xFE100000, 0xFE0FFFFF, false},
                                           WindowCase{"base below the outer base", 0xFD000000, 0xFE0FFFFF, false},
                                           WindowCase{"base above the outer limit", 0xFF000000, 0xFF0FFFFF, false},
                                           WindowCase{"limit above the outer limit", 0xFE000000, 0xFF0FFFFF, false},
                                           WindowCase{"UART's address outside the inner window", 0xFE100000, 0xFE1FFFFF,
                                                      false}));

// Two bridges in I/O space: the root port decodes 0x2000-0xFFFF, the switch
// port a part of it, and the UART's default base 0xE000 must lie in that part.
class PciPathIoTwoBridges : public ::testing::TestWithParam<WindowCase> {};

TEST_P(PciPathIoTwoBridges, InnerWindowMustLieInsideTheOuterOne) {
  const WindowCase c = GetParam();
  MmioPathPlatform s;
  s.rootPort.SetIoWindow(0x2000, 0xFFFF);
  s.switchPort.SetIoWindow(c.base, c.limit);
  EXPECT_EQ(IoTwoBridges::GetRegisterBase(), c.ok ? 0xE000u : 0u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Windows, PciPathIoTwoBridges,
                         ::testing::Values(WindowCase{"inside", 0xE000, 0xEFFF, true},
                                           WindowCase{"base below the outer base", 0x1000, 0xEFFF, false},
                                           WindowCase{"UART's address below the inner window", 0xF000, 0xFFFF, false}));

}  // namespace
