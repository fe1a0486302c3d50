// Every wait gives up after SERIAL_PORT_MAX_POLLS polls of its register:
// against a transmitter that never empties and a peer that never raises its
// lines, bring-up reports EFI_DEVICE_ERROR, a write returns 0, and each later
// call gives up within the same bound.

#include <string>

#include "SerialTestSupport.h"

namespace {

using namespace sim;
using serialtest::CountOf;

constexpr size_t kBound = SERIAL_PORT_MAX_POLLS;
const UINT8 *Bytes(const char *s) { return reinterpret_cast<const UINT8 *>(s); }

TEST(BoundedWait, BoundOutlastsTheSlowestDrainAtOneMicrosecondPerPoll) {
  // 64 bytes in the FIFO plus one in the shift register, 8N1 at 9600 baud.
  Platform p;
  Uart16550 uart64(p.clock, /*fifo64Capable=*/true);
  p.bus.MapIo(0x3F8, 0x3FF, &uart64);
  uart64.SetLineControl(0x03);
  uart64.SetDivisor(12);
  uart64.SetFifoControl(0x21);
  for (int i = 0; i < 65; ++i) p.bus.Write(Space::Io, 0x3F8, 8, 'x');
  const uint64_t drainNs = 65 * uart64.CharacterNs();
  EXPECT_GT(kBound * Clock::kAccessNs, 10 * drainNs);
  EXPECT_EQ(uart64.BytesLost(), 0u);

  // Bring-up waits it out and then programs the rate.
  p.cmos.Byte(0x6F) = 0x00;
  p.bus.ClearTrace();
  EXPECT_EQ((SerialPortLibT<serialtest::FifoSettings<0x21>>::Initialize()), EFI_SUCCESS);
  EXPECT_EQ(uart64.Sent(), std::string(65, 'x'));
  EXPECT_LT(CountOf(p.bus.Trace(), Dir::Read, 0x3FD), kBound);
}

TEST(BoundedWait, StuckTransmitterFailsBringUpAfterTheBound) {
  Platform p;
  p.uart.PowerOnReset();  // so that bring-up has to program it
  p.uart.faults.transmitterStuck = true;
  for (int call = 0; call < 2; ++call) {
    p.bus.ClearTrace();
    EXPECT_EQ(SerialPortInitialize(), EFI_DEVICE_ERROR);
    EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FD), kBound);
    EXPECT_EQ(p.bus.Trace().back(), IoR8(0x3FD, 0x00));  // nothing programmed after giving up
  }
  EXPECT_EQ(p.uart.Divisor(), 0);
}

TEST(BoundedWait, StuckTransmitterEndsEachWriteAfterTheBound) {
  Platform p;
  p.uart.faults.transmitterStuck = true;
  for (int call = 0; call < 2; ++call) {
    p.bus.ClearTrace();
    EXPECT_EQ(SerialPortWrite(Bytes("0123456789abcdefXYZ"), 19), 0u);
    EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FD), kBound);
    EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Write, 0x3F8), 0u);
  }
  p.bus.ClearTrace();
  EXPECT_EQ(SerialPortWrite(Bytes("x"), 0), 0u);  // the flush too
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FD), kBound);
}

TEST(BoundedWait, StuckTransmitterMidWriteEndsItBeforeTheNextBurst) {
  Platform p;
  ASSERT_EQ(SerialPortWrite(Bytes("0123456789abcdef"), 16), 16u);
  p.uart.faults.transmitterStuck = true;
  p.bus.ClearTrace();
  EXPECT_EQ(SerialPortWrite(Bytes("0123456789abcdefXYZ"), 19), 0u);
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FD), kBound);
}

TEST(BoundedWait, SilentPeerEndsEachWriteAfterTheBound) {
  using Flow = SerialPortLibT<serialtest::CableDetectSettings>;
  Platform p;
  p.uart.faults.modemLinesHeld = 0x00;  // no cable
  for (int call = 0; call < 2; ++call) {
    p.bus.ClearTrace();
    EXPECT_EQ(Flow::Write(Bytes("abc"), 3), 0u);
    EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FE), kBound);
    EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Write, 0x3F8), 0u);
  }
  p.bus.ClearTrace();
  EXPECT_EQ(Flow::Write(Bytes("x"), 0), 0u);
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FE), kBound);
}

TEST(BoundedWait, PeerThatStopsMidBurstEndsTheWriteAfterTheBytesAlreadySent) {
  using Flow = SerialPortLibT<serialtest::FlowControlSettings>;
  Platform p;
  serialtest::ScriptedRegister msr({0x30, 0x30, 0x20});  // ready for two bytes, then held
  p.bus.MapIo(0x3FE, 0x3FE, &msr);
  EXPECT_EQ(Flow::Write(Bytes("abcd"), 4), 0u);
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Write, 0x3F8), 2u);
  EXPECT_EQ(msr.Reads(), 2 + kBound);
  p.uart.DrainAll();
  EXPECT_EQ(p.uart.Sent(), "ab");
}

}  // namespace
