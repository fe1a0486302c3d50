// The console's device models behave as the hardware does in what the module
// relies on, and their fault switches do what they say.

#include <string>

#include "SerialTestSupport.h"
#include "sim/PciBridge.h"
#include "sim/PciUart.h"
#include "sim/TraceText.h"

namespace {

using namespace sim;

uint8_t In(Platform &p, uint16_t port) { return static_cast<uint8_t>(p.bus.Read(Space::Io, port, 8)); }
void Out(Platform &p, uint16_t port, uint8_t v) { p.bus.Write(Space::Io, port, 8, v); }

TEST(Uart16550Model, DlabBanksOffsetsZeroAndOne) {
  Platform p;
  Out(p, 0x3F9, 0x05);  // IER
  Out(p, 0x3FB, 0x83);
  Out(p, 0x3F8, 0x0C);
  Out(p, 0x3F9, 0x00);
  EXPECT_EQ(In(p, 0x3F8), 0x0C);
  EXPECT_EQ(In(p, 0x3F9), 0x00);
  Out(p, 0x3FB, 0x03);
  EXPECT_EQ(In(p, 0x3F9), 0x05);
  EXPECT_EQ(p.uart.Divisor(), 12);
  EXPECT_EQ(p.uart.BaudRate(), 9600u);
  EXPECT_EQ(p.uart.Sent(), "");  // the latch write sent nothing
}

TEST(Uart16550Model, IirShowsTheFifosAndFcrClearBitsEmptyThem) {
  Platform p;
  EXPECT_EQ(In(p, 0x3FA), 0xC1);
  Out(p, 0x3FA, 0x00);
  EXPECT_EQ(In(p, 0x3FA), 0x01);
  Out(p, 0x3FA, 0x21);  // no 64-byte mode on a plain 16550
  EXPECT_EQ(In(p, 0x3FA), 0xC1);
  EXPECT_EQ(p.uart.FifoDepth(), 16u);

  Uart16550 uart64(p.clock, true);
  uart64.SetFifoControl(0x21);
  EXPECT_EQ(uart64.Read(Space::Io, 2, 1), 0xE1u);
  EXPECT_EQ(uart64.FifoDepth(), 64u);
}

TEST(Uart16550Model, LineStatusFollowsTheDrainInSimulatedTime) {
  Platform p;  // 8N1 at 115200: 10 bits take about 86.8 us
  EXPECT_EQ(p.uart.CharacterNs(), 86805u);
  EXPECT_EQ(In(p, 0x3FD), 0x60);
  Out(p, 0x3F8, 'a');
  Out(p, 0x3F8, 'b');
  EXPECT_EQ(In(p, 0x3FD), 0x00);  // 'b' waits in the FIFO
  size_t polls = 0;
  while (In(p, 0x3FD) != 0x20) ++polls;  // 'b' moved to the shift register
  EXPECT_NEAR(static_cast<double>(polls), 86.0, 2.0);
  while (In(p, 0x3FD) != 0x60) ++polls;
  EXPECT_NEAR(static_cast<double>(polls), 173.0, 3.0);
  EXPECT_EQ(p.uart.Sent(), "ab");
}

TEST(Uart16550Model, FullFifoLosesBytes) {
  Platform p;
  for (int i = 0; i < 20; ++i) Out(p, 0x3F8, static_cast<uint8_t>('A' + i));
  EXPECT_EQ(p.uart.BytesLost(), 3u);  // one shifting, sixteen queued
  p.uart.DrainAll();
  EXPECT_EQ(p.uart.Sent(), "ABCDEFGHIJKLMNOPQ");
}

TEST(Uart16550Model, FaultSwitches) {
  Platform p;
  p.uart.faults.fifosAbsent = true;
  p.uart.SetFifoControl(0x00);
  Out(p, 0x3FA, 0x01);
  EXPECT_EQ(In(p, 0x3FA), 0x01);
  Out(p, 0x3F8, 'a');
  Out(p, 0x3F8, 'b');  // the holding register is free again once 'a' shifts
  Out(p, 0x3F8, 'c');
  EXPECT_EQ(p.uart.BytesLost(), 1u);

  p.uart.SetModemStatus(0x30);
  EXPECT_EQ(In(p, 0x3FE), 0x30);
  p.uart.faults.modemLinesHeld = 0x20;
  EXPECT_EQ(In(p, 0x3FE), 0x20);

  p.uart.faults.transmitterStuck = true;
  p.uart.DrainAll();
  EXPECT_EQ(In(p, 0x3FD), 0x00);
  EXPECT_EQ(p.uart.Sent(), "");
}

TEST(Uart16550Model, PowerOnResetTurnsTheFifosOff) {
  Platform p;
  p.uart.PowerOnReset();
  EXPECT_EQ(In(p, 0x3FA), 0x01);
  EXPECT_EQ(In(p, 0x3FB), 0x00);
  EXPECT_EQ(p.uart.Divisor(), 0);
}

TEST(DecodedTrace, NamesTheRegistersOfTheConsoleDevices) {
  Platform p;
  Out(p, 0x3FB, 0x80);
  In(p, 0x3FD);
  Out(p, 0x70, 0x6F);
  In(p, 0x71);
  Out(p, 0x370, 0x07);
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8000F880);
  Out(p, 0x3FB, 0x03);
  Out(p, 0x3F8, 'V');
  Out(p, 0x3F8, '\r');
  In(p, 0x80);
  p.bus.Read(Space::Mem, Platform::kGpioLockAddress, 8);
  const std::vector<Access> &t = p.bus.Trace();
  const char *expected[] = {
      "io  w8  0x3FB       UART.LCR                 <- 0x80",
      "io  r8  0x3FD       UART.LSR                 -> 0x60",
      "io  w8  0x070       CMOS.INDEX               <- 0x6F",
      "io  r8  0x071       CMOS.DATA                -> 0x00",
      "io  w8  0x370       SIO.INDEX                <- 0x07",
      "io  w32 0xCF8       PCICFG.ADDRESS           <- 0x8000F880  0:31.0 reg 0x80",
      "io  w8  0x3FB       UART.LCR                 <- 0x03",
      "io  w8  0x3F8       UART.THR                 <- 0x56  'V'",
      "io  w8  0x3F8       UART.THR                 <- 0x0D  '\\r'",
      "io  r8  0x080       (no device)              -> 0xFF",
      "mem r8  0x800F804C  PCIe.LPC.GPIO_LOCK       -> 0x01",
  };
  ASSERT_EQ(t.size(), std::size(expected));
  for (size_t i = 0; i < t.size(); ++i) EXPECT_EQ(Describe(t[i]), expected[i]) << i;

  // A listing collapses a poll and keeps the marks in place.
  TraceListing listing;
  listing.Add(t[0]);
  for (int i = 0; i < 3; ++i) listing.Add(t[1]);
  listing.Mark("SMI 1: source 48");
  listing.Add(t[1]);
  EXPECT_EQ(listing.Text(),
            std::string(expected[0]) + "\n" + expected[1] + "   (x3)\n-- SMI 1: source 48\n" + expected[1] + "\n");
  EXPECT_EQ(listing.Accesses(), 5u);
}

TEST(CmosModel, IndexPicksTheByteAndBitSevenMasksNmi) {
  Platform p;
  p.cmos.Byte(0x6F) = 0x06;
  Out(p, 0x70, 0x6F);
  EXPECT_EQ(In(p, 0x71), 0x06);
  EXPECT_FALSE(p.cmos.NmiMasked());
  Out(p, 0x70, 0xEF);  // same byte, NMI masked
  EXPECT_EQ(In(p, 0x71), 0x06);
  EXPECT_TRUE(p.cmos.NmiMasked());
  Out(p, 0x71, 0x02);
  EXPECT_EQ(p.cmos.Byte(0x6F), 0x02);
  EXPECT_EQ(In(p, 0x70), 0xFF);  // write-only
  p.cmos.batteryFailed = true;
  EXPECT_EQ(In(p, 0x71), 0xFF);
}

TEST(CmosModel, FailedBatterySelects9600) {
  Platform p;
  p.cmos.batteryFailed = true;
  p.uart.PowerOnReset();
  EXPECT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  EXPECT_EQ(p.uart.BaudRate(), 9600u);
}

TEST(SuperIoModel, LogicalDeviceSelectsTheRegistersFromThirtyUp) {
  Platform p;
  Out(p, 0x370, 0x07);
  Out(p, 0x371, 0x02);
  Out(p, 0x370, 0x60);
  Out(p, 0x371, 0x03);
  Out(p, 0x370, 0x07);
  Out(p, 0x371, 0x03);
  Out(p, 0x370, 0x60);
  EXPECT_EQ(In(p, 0x371), 0x00);  // device 3's own register
  Out(p, 0x370, 0x07);
  Out(p, 0x371, 0x02);
  Out(p, 0x370, 0x60);
  EXPECT_EQ(In(p, 0x371), 0x03);
  EXPECT_EQ(In(p, 0x370), 0x60);
  p.superIo.absent = true;
  EXPECT_EQ(In(p, 0x371), 0xFF);
}

TEST(PciConfigPortsModel, ReachTheSameConfigurationSpaceAsTheWindow) {
  Platform p;
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8000F84C);
  EXPECT_EQ(p.bus.Read(Space::Io, 0xCFC, 8), 0x01u);  // the GPIO lock byte
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8000F880);
  p.bus.Write(Space::Io, 0xCFE, 8, 0x5A);  // register 0x82
  EXPECT_EQ(p.lpc.Byte(0x82), 0x5A);
  EXPECT_EQ(p.bus.Read(Space::Io, 0xCF8, 32), 0x8000F880u);

  p.bus.Write(Space::Io, 0xCF8, 32, 0x0000F880);  // enable bit clear
  EXPECT_EQ(p.bus.Read(Space::Io, 0xCFC, 32), 0xFFFFFFFFu);
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8001F880);  // nothing on bus 1
  EXPECT_EQ(p.bus.Read(Space::Io, 0xCFC, 32), 0xFFFFFFFFu);
  p.configPorts.disabled = true;
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8000F880);
  p.bus.Write(Space::Io, 0xCFC, 32, 0);
  EXPECT_EQ(p.lpc.Byte(0x82), 0x5A);
}

TEST(PciConfigPortsModel, ClearingTheGpioLockThroughThePortsRaisesTheSmiToo) {
  Platform p;
  p.bus.Write(Space::Io, 0xCF8, 32, 0x8000F84C);
  p.bus.Write(Space::Io, 0xCFC, 8, 0x00);
  EXPECT_EQ(p.lpc.UnlockSmisRaised(), 1);
}

TEST(PciBridgeModel, ReadOnlyBitsOfTheWindows) {
  Platform p;
  PciBridge b16("B16", false, 0), b32("B32", true, 0x44);
  p.pci.Attach({0, 0x1C, 0}, &b16);
  p.pci.Attach({0, 0x1C, 1}, &b32);
  const uint64_t a16 = kPciExpressBase + 0xE0000, a32 = kPciExpressBase + 0xE1000;
  p.bus.Write(Space::Mem, a16 + 0x1C, 16, 0xFFFF);
  p.bus.Write(Space::Mem, a16 + 0x20, 32, 0xFFFFFFFF);
  p.bus.Write(Space::Mem, a16 + 0x30, 32, 0xFFFFFFFF);
  EXPECT_EQ(b16.Word(0x1C), 0xF0F0);
  EXPECT_EQ(b16.Dword(0x20), 0xFFF0FFF0u);
  EXPECT_EQ(b16.Dword(0x30), 0u);  // no upper halves without 32-bit decoding
  p.bus.Write(Space::Mem, a32 + 0x1C, 16, 0x0000);
  p.bus.Write(Space::Mem, a32 + 0x30, 32, 0x00020001);
  EXPECT_EQ(b32.Word(0x1C), 0x0101);
  EXPECT_EQ(b32.Dword(0x30), 0x00020001u);
  EXPECT_EQ(b32.Byte(0x34), 0x40);
  EXPECT_EQ(b32.Byte(0x40), 0x01);
}

TEST(PciUartModel, DecodesOnlyWhenEnabledInD0AtItsBar) {
  Platform p;
  PciUart u("PUART", p.bus, p.clock, {PciUart::Bar::Io, PciUart::Bar::Mem32}, 0, 0x44);
  p.pci.Attach({0, 0x1E, 2}, &u);
  const uint64_t cfg = kPciExpressBase + 0xF2000;
  p.bus.Write(Space::Mem, cfg + 0x10, 32, 0xFFFFFFFF);
  EXPECT_EQ(p.bus.Read(Space::Mem, cfg + 0x10, 32), 0xFFFFFFF9u);  // 8 ports
  p.bus.Write(Space::Mem, cfg + 0x14, 32, 0xFFFFFFFF);
  EXPECT_EQ(p.bus.Read(Space::Mem, cfg + 0x14, 32), 0xFFFFF000u);  // 4 KiB
  p.bus.Write(Space::Mem, cfg + 0x10, 32, 0x2F8);
  EXPECT_FALSE(u.Decoding());
  p.bus.Write(Space::Mem, cfg + 0x04, 16, 0x0001);
  EXPECT_TRUE(u.Decoding());
  EXPECT_EQ(In(p, 0x2FD), 0x60);
  p.bus.Write(Space::Mem, cfg + 0x44, 16, 0x0003);
  EXPECT_FALSE(u.Decoding());
  EXPECT_EQ(In(p, 0x2FD), 0xFF);
  u.uart.SetFifoControl(0x01);
  p.bus.Write(Space::Mem, cfg + 0x44, 16, 0x0000);
  EXPECT_TRUE(u.Decoding());
  EXPECT_EQ(In(p, 0x2FA), 0x01);  // woken from D3hot with its FIFOs off
}

TEST(TerminalRendering, AsATerminalOnTheLineWouldShowIt) {
  EXPECT_EQ(RenderAsTerminal("one\r\ntwo\r\n"), "one\ntwo\n");
  EXPECT_EQ(RenderAsTerminal("bare\nfeed"), "bare\nfeed");
  EXPECT_EQ(RenderAsTerminal("50%\r100%\r\n"), "100%\n");
  EXPECT_EQ(RenderAsTerminal("long line\rX\r\n"), "Xong line\n");
  EXPECT_EQ(RenderAsTerminal("ab\bc"), "ac");
  EXPECT_EQ(RenderAsTerminal("a\tb"), "a       b");
  EXPECT_EQ(RenderAsTerminal(std::string("\x1B[0m\xFF", 5)), "\\x1B[0m\\xFF");
  EXPECT_EQ(RenderAsTerminal(""), "");
}

}  // namespace

namespace {

using namespace sim;

TEST(LegacyDecode, ConsoleAnswersOnlyOnceTheHookHasOpenedDecodeAndActivatedTheSerialPort) {
  Platform p;
  p.EnforceLegacyDecode();
  p.uart.PowerOnReset();
  EXPECT_EQ(p.bus.Read(Space::Io, 0x371, 8), 0xFFu);
  EXPECT_EQ(p.bus.Read(Space::Io, 0x3FD, 8), 0xFFu);

  ASSERT_EQ(SerialPortInitialize(), EFI_SUCCESS);
  EXPECT_EQ(p.uart.BaudRate(), 115200u);
  const std::string text = "decoded\r\n";
  EXPECT_EQ(SerialPortWrite(reinterpret_cast<const UINT8 *>(text.data()), text.size()), text.size());
  p.uart.DrainAll();
  EXPECT_EQ(RenderAsTerminal(p.uart.Sent()), "decoded\n");
}

TEST(LegacyDecode, SerialPortLeftActiveElsewhereKeepsTheConsoleDark) {
  Platform p;
  p.EnforceLegacyDecode();
  p.superIo.Reg(2, 0x30) = 0x01;                   // active, but at no base: the table is skipped
  ASSERT_EQ(SerialPortInitialize(), EFI_SUCCESS);  // LSR reads 0xFF: drained
  EXPECT_EQ(SerialPortWrite(reinterpret_cast<const UINT8 *>("x"), 1), 1u);  // IIR 0xFF passes the guard
  p.uart.DrainAll();
  EXPECT_EQ(p.uart.Sent(), "");
}

}  // namespace
