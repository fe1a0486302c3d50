// Bring-up: the already-initialised test (line format, and the latch against
// the divisor CMOS selects), the drain wait, and the programming writes.

#include <ostream>

#include "SerialTestSupport.h"
#include "sim/TraceText.h"

namespace {

using namespace sim;
using serialtest::CollapsePolls;
using serialtest::TraceOfDevices;
using testsupport::TraceIs;

// LCR, latch and CMOS reads for a UART holding `lcr` and `divisor`.
std::vector<Access> ChecksFor(uint8_t lcr, uint16_t divisor, uint8_t cmos) {
  const uint8_t dlab = static_cast<uint8_t>(lcr | 0x80);
  // clang-format off
  return {
      IoR8(0x3FB, lcr),                                                  // line format
      IoR8(0x3FB, lcr),           IoW8(0x3FB, dlab),                     // DLAB on
      IoR8(0x3F9, divisor >> 8),  IoR8(0x3F8, divisor & 0xFF),           // latch, high byte first
      IoR8(0x3FB, dlab),          IoW8(0x3FB, dlab & 0x7F),              // DLAB off
      IoW8(0x70, 0x6F),           IoR8(0x71, cmos),                      // baud selector
  };
  // clang-format on
}

std::vector<Access> ProgrammingFor(uint16_t divisor) {
  // clang-format off
  return {
      IoW8(0x3FB, 0x80),                                       // DLAB, all else clear
      IoW8(0x3F9, divisor >> 8), IoW8(0x3F8, divisor & 0xFF),  // DLM, DLL
      IoW8(0x3FB, 0x03),                                       // 8N1
      IoW8(0x3FA, 0x00), IoW8(0x3FA, 0x01),                    // FIFOs off, then on
      IoW8(0x3FC, 0x00),                                       // MCR
  };
  // clang-format on
}

std::vector<Access> Join(std::vector<Access> a, const std::vector<Access> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct BaudCase {
  uint8_t cmos;
  uint16_t divisor;
  uint32_t baud;
};

class SerialPortInitializeBaud : public ::testing::TestWithParam<BaudCase> {};

TEST_P(SerialPortInitializeBaud, ProgramsTheDivisorCmosSelectsAfterTheTransmitterDrains) {
  const BaudCase c = GetParam();
  Platform p;
  p.uart.PowerOnReset();
  p.cmos.Byte(0x6F) = c.cmos;
  EXPECT_EQ(SerialPortInitialize(), EFI_SUCCESS);

  const std::vector<Access> expected =
      Join(Join(ChecksFor(0x00, 0, c.cmos), {IoR8(0x3FD, 0x60)}), ProgrammingFor(c.divisor));
  EXPECT_TRUE(TraceIs(TraceOfDevices(p.bus, {&p.uart, &p.cmos}), expected));
  EXPECT_EQ(p.uart.BaudRate(), c.baud);
  EXPECT_EQ(p.uart.LineControl(), 0x03);
  EXPECT_TRUE(p.uart.FifosEnabled());
  EXPECT_FALSE(p.cmos.NmiMasked());
}

INSTANTIATE_TEST_SUITE_P(CmosSelector, SerialPortInitializeBaud,
                         ::testing::Values(BaudCase{0x00, 1, 115200}, BaudCase{0x01, 1, 115200},
                                           BaudCase{0x08, 1, 115200}, BaudCase{0xF9, 1, 115200},
                                           BaudCase{0x02, 2, 57600}, BaudCase{0x04, 6, 19200}, BaudCase{0x06, 12, 9600},
                                           BaudCase{0xFF, 12, 9600}));

TEST(SerialPortInitialize, AlreadyRunningAtTheSelectedRateInTheConfiguredFormatWritesNothingAfterCmos) {
  for (const uint8_t lcr : {0x43, 0x83}) {  // 8N1 with break, or with DLAB set: only bits 0-5 count
    SCOPED_TRACE(lcr);
    Platform p;
    p.uart.SetLineControl(lcr);
    p.uart.SetDivisor(12);
    p.cmos.Byte(0x6F) = 0x06;
    EXPECT_EQ(SerialPortInitialize(), EFI_SUCCESS);
    EXPECT_TRUE(TraceIs(TraceOfDevices(p.bus, {&p.uart, &p.cmos}), ChecksFor(lcr, 12, 0x06)));
    EXPECT_EQ(p.uart.LineControl(), lcr & 0x7F);  // DLAB left clear
  }
}

struct NotInitialisedCase {
  const char *why;
  uint8_t lcr;
  uint16_t latch;
  uint8_t cmos;
  uint16_t programmed;
};
void PrintTo(const NotInitialisedCase &c, std::ostream *os) { *os << c.why; }

class SerialPortInitializeReprogram : public ::testing::TestWithParam<NotInitialisedCase> {};

TEST_P(SerialPortInitializeReprogram, ProgramsWhenFormatOrLatchDisagrees) {
  const NotInitialisedCase c = GetParam();
  Platform p;
  p.uart.SetLineControl(c.lcr);
  p.uart.SetDivisor(c.latch);
  p.cmos.Byte(0x6F) = c.cmos;
  EXPECT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  const std::vector<Access> expected =
      Join(Join(ChecksFor(c.lcr, c.latch, c.cmos), {IoR8(0x3FD, 0x60)}), ProgrammingFor(c.programmed));
  EXPECT_TRUE(TraceIs(TraceOfDevices(p.bus, {&p.uart, &p.cmos}), expected)) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Disagreements, SerialPortInitializeReprogram,
                         ::testing::Values(NotInitialisedCase{"7 data bits", 0x02, 1, 0x00, 1},
                                           NotInitialisedCase{"parity on", 0x0B, 12, 0x06, 12},
                                           // The latch holds the build-settings divisor, but CMOS asks for 9600.
                                           NotInitialisedCase{"latch at 115200, CMOS 9600", 0x03, 1, 0x06, 12},
                                           // CMOS asks for the build-settings rate, but the latch runs at 9600.
                                           NotInitialisedCase{"latch at 9600, CMOS 115200", 0x03, 12, 0x00, 1},
                                           NotInitialisedCase{"divisor high byte", 0x03, 0x0101, 0x00, 1}));

TEST(SerialPortInitialize, WaitsForWhatTheUartHoldsToLeaveAtTheOldRate) {
  Platform p;
  p.uart.SetDivisor(12);  // 9600 baud, about 1 ms per character
  p.cmos.Byte(0x6F) = 0x00;
  for (char c : std::string("drain me\r\n")) p.bus.Write(Space::Io, 0x3F8, 8, static_cast<uint8_t>(c));
  p.bus.ClearTrace();

  EXPECT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  const std::vector<Access> expected = Join(
      Join(ChecksFor(0x03, 12, 0x00), {IoR8(0x3FD, 0x00), IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60)}), ProgrammingFor(1));
  EXPECT_TRUE(TraceIs(CollapsePolls(TraceOfDevices(p.bus, {&p.uart, &p.cmos})), expected));
  // About 10.4 ms of line time at one microsecond per poll.
  EXPECT_GT(serialtest::CountOf(p.bus.Trace(), Dir::Read, 0x3FD), 10000u);
  EXPECT_EQ(p.uart.Sent(), "drain me\r\n");
  EXPECT_EQ(p.uart.BytesLost(), 0u);
}

TEST(SerialPortInitialize, ConsoleComesUpAndCarriesText) {
  Platform p;
  p.uart.PowerOnReset();
  p.cmos.Byte(0x6F) = 0x04;
  ASSERT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  const std::string text = "console up\r\nline two\r\n";
  EXPECT_EQ(SerialPortWrite(reinterpret_cast<const UINT8 *>(text.data()), text.size()), text.size());
  p.uart.DrainAll();
  EXPECT_EQ(RenderAsTerminal(p.uart.Sent()), "console up\nline two\n");
  EXPECT_EQ(p.uart.BaudRate(), 19200u);
}

RETURN_STATUS EFIAPI FailingHook(VOID) { return EFI_NOT_READY; }
RETURN_STATUS EFIAPI WarningHook(VOID) { return ENCODE_WARNING(1); }
struct FailingHookSettings : ConfiguredSerialPortSettings {
  static constexpr RETURN_STATUS(EFIAPI *PlatformHook)(VOID) = FailingHook;
};
struct WarningHookSettings : ConfiguredSerialPortSettings {
  static constexpr RETURN_STATUS(EFIAPI *PlatformHook)(VOID) = WarningHook;
};
struct HighFixedBaseSettings : ConfiguredSerialPortSettings {
  static constexpr UINT64 RegisterBase = 0xFED0000103F8;
};

TEST(SerialPortInitialize, HookErrorIsReturnedUnchangedWithTheUartUntouched) {
  Platform p;
  EXPECT_EQ(SerialPortLibT<FailingHookSettings>::Initialize(), EFI_NOT_READY);
  EXPECT_TRUE(p.bus.Trace().empty());
}

TEST(SerialPortInitialize, HookWarningDoesNotStopBringUp) {
  Platform p;
  p.uart.PowerOnReset();
  EXPECT_EQ(SerialPortLibT<WarningHookSettings>::Initialize(), EFI_SUCCESS);
  EXPECT_EQ(p.uart.LineControl(), 0x03);
}

TEST(SerialPortInitialize, FixedBaseNeedsNoConfigurationAccess) {
  Platform p;
  EXPECT_EQ(GetSerialRegisterBase(), 0x3F8u);
  EXPECT_EQ(SerialPortLibT<HighFixedBaseSettings>::GetRegisterBase(), 0xFED0000103F8u);  // all 64 bits
  EXPECT_TRUE(p.bus.Trace().empty());
  EXPECT_EQ(SerialPortReadRegister(0x3F8, 5), 0x60);
  EXPECT_EQ(SerialPortWriteRegister(0x3F8, 7, 0xA5), 0xA5);
  EXPECT_TRUE(TraceIs(p.bus.Trace(), {IoR8(0x3FD, 0x60), IoW8(0x3FF, 0xA5)}));

  // A whole bring-up and write stays on ports 0x3F8-0x3FE (and CMOS, Super I/O, 0xCF8/0xCFC).
  p.uart.PowerOnReset();
  p.bus.ClearTrace();
  ASSERT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  ASSERT_EQ(SerialPortWrite(reinterpret_cast<const UINT8 *>("ok"), 2), 2u);
  for (const Access &a : p.bus.Trace()) {
    EXPECT_EQ(a.space, Space::Io) << Describe(a);
    if (a.device == &p.uart) EXPECT_TRUE(a.address >= 0x3F8 && a.address <= 0x3FE) << Describe(a);
  }
}

}  // namespace
