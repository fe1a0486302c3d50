// Transmit: FIFO bursts after one IIR read and one TEMT wait each, the FIFO
// guard, the flush, flow control, and the burst size of each FIFO setting.

#include <string>

#include "SerialTestSupport.h"

namespace {

using namespace sim;
using serialtest::CollapsePolls;
using serialtest::CountOf;
using serialtest::ScriptedRegister;
using serialtest::TraceOfDevices;
using testsupport::TraceIs;

const UINT8 *Bytes(const std::string &s) { return reinterpret_cast<const UINT8 *>(s.data()); }

std::vector<Access> ThrWrites(const std::string &s) {
  std::vector<Access> out;
  for (char c : s) out.push_back(IoW8(0x3F8, static_cast<uint8_t>(c)));
  return out;
}

std::vector<Access> Join(std::initializer_list<std::vector<Access>> parts) {
  std::vector<Access> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Sizes of the runs of THR writes, each run ended by any other UART access.
std::vector<size_t> Bursts(const std::vector<Access> &trace) {
  std::vector<size_t> out;
  bool inRun = false;
  for (const Access &a : trace) {
    const bool thr = a.dir == Dir::Write && (a.address & 7) == 0;
    if (thr && !inRun) out.push_back(0);
    if (thr) ++out.back();
    inRun = thr;
  }
  return out;
}

const std::string kForty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";

TEST(SerialPortWrite, FortyBytesGoOutAsBurstsOfSixteenSixteenAndEight) {
  Platform p;
  ASSERT_EQ(kForty.size(), 40u);
  EXPECT_EQ(SerialPortWrite(Bytes(kForty), 40), 40u);

  // clang-format off
  const std::vector<Access> expected = Join({
      {IoR8(0x3FA, 0xC1), IoR8(0x3FD, 0x60)},  // FIFOs on; transmitter empty
      ThrWrites(kForty.substr(0, 16)),
      {IoR8(0x3FA, 0xC1), IoR8(0x3FD, 0x00), IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60)},  // FIFO, then shift register
      ThrWrites(kForty.substr(16, 16)),
      {IoR8(0x3FA, 0xC1), IoR8(0x3FD, 0x00), IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60)},
      ThrWrites(kForty.substr(32, 8)),
  });
  // clang-format on
  EXPECT_TRUE(TraceIs(CollapsePolls(p.bus.Trace()), expected));
  p.uart.DrainAll();
  EXPECT_EQ(p.uart.Sent(), kForty);
  EXPECT_EQ(p.uart.BytesLost(), 0u);
}

TEST(SerialPortWrite, NullBufferReturnsZeroWithNoAccess) {
  Platform p;
  EXPECT_EQ(SerialPortWrite(nullptr, 5), 0u);
  EXPECT_TRUE(p.bus.Trace().empty());
}

TEST(SerialPortWrite, FifoGuardStopsBeforeTheFirstBurst) {
  for (const bool absent : {false, true}) {
    SCOPED_TRACE(absent ? "an 8250-class part" : "FIFOs switched off");
    Platform p;
    if (absent) {
      p.uart.faults.fifosAbsent = true;
    } else {
      p.uart.SetFifoControl(0x00);
    }
    EXPECT_EQ(SerialPortWrite(Bytes(kForty), 40), 0u);
    EXPECT_TRUE(TraceIs(p.bus.Trace(), {IoR8(0x3FA, 0x01)}));
  }
}

TEST(SerialPortWrite, FifoGuardPassesWithEitherIirFifoBit) {
  for (const uint8_t iir : {0x41, 0x81}) {
    SCOPED_TRACE(iir);
    Platform p;
    ScriptedRegister fifos({iir});
    p.bus.MapIo(0x3FA, 0x3FA, &fifos);
    EXPECT_EQ(SerialPortWrite(Bytes(kForty), 40), 40u);
  }
}

TEST(SerialPortWrite, FifoGuardStopsBeforeTheSecondBurstAfterSixteenBytesWentOut) {
  Platform p;
  ScriptedRegister iir({0xC1, 0x01});
  p.bus.MapIo(0x3FA, 0x3FA, &iir);
  EXPECT_EQ(SerialPortWrite(Bytes(kForty), 40), 0u);
  EXPECT_EQ(Bursts(p.bus.Trace()), std::vector<size_t>{16});
  EXPECT_EQ(p.bus.Trace().back(), IoR8(0x3FA, 0x01));
  p.uart.DrainAll();
  EXPECT_EQ(p.uart.Sent(), kForty.substr(0, 16));
}

TEST(SerialPortWrite, ZeroLengthFlushesAndSendsNothing) {
  Platform p;
  for (char c : std::string("abc")) p.bus.Write(Space::Io, 0x3F8, 8, static_cast<uint8_t>(c));
  p.bus.ClearTrace();
  EXPECT_EQ(SerialPortWrite(Bytes("x"), 0), 0u);
  // THRE and TEMT together; flow control is off, so MSR is not read.
  EXPECT_TRUE(TraceIs(CollapsePolls(p.bus.Trace()), {IoR8(0x3FD, 0x00), IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60)}));
  EXPECT_EQ(p.uart.Sent(), "abc");
}

TEST(SerialPortWrite, ZeroLengthWithFlowControlAlsoWaitsForThePeer) {
  Platform p;
  using Flow = SerialPortLibT<serialtest::FlowControlSettings>;
  ScriptedRegister msr({0x20, 0x20, 0x30});
  p.bus.MapIo(0x3FE, 0x3FE, &msr);
  EXPECT_EQ(Flow::Write(Bytes("x"), 0), 0u);
  EXPECT_TRUE(TraceIs(p.bus.Trace(), {IoR8(0x3FD, 0x60), IoR8(0x3FE, 0x20), IoR8(0x3FE, 0x20), IoR8(0x3FE, 0x30)}));
  EXPECT_EQ(p.uart.Sent(), "");
}

struct FlowCase {
  uint8_t msr;
  bool sendWithoutCableDetect, sendWithCableDetect;
};

class SerialPortWritable : public ::testing::TestWithParam<FlowCase> {};

TEST_P(SerialPortWritable, ModemLinesAgainstEachFlowControlSetting) {
  const FlowCase c = GetParam();
  Platform p;
  p.uart.SetModemStatus(c.msr);
  EXPECT_EQ(::SerialPortWritable(0x3F8), TRUE);  // configured: flow control off, nothing read
  EXPECT_TRUE(p.bus.Trace().empty());

  EXPECT_EQ(SerialPortLibT<serialtest::FlowControlSettings>::Writable(0x3F8) == TRUE, c.sendWithoutCableDetect);
  EXPECT_EQ(SerialPortLibT<serialtest::CableDetectSettings>::Writable(0x3F8) == TRUE, c.sendWithCableDetect);
  EXPECT_TRUE(TraceIs(p.bus.Trace(), {IoR8(0x3FE, c.msr), IoR8(0x3FE, c.msr)}));
}

INSTANTIATE_TEST_SUITE_P(Msr, SerialPortWritable,
                         ::testing::Values(FlowCase{0x00, true, false},   // neither DSR nor CTS
                                           FlowCase{0x10, true, false},   // CTS only
                                           FlowCase{0x20, false, false},  // DSR only: peer there, not ready
                                           FlowCase{0x30, true, true},    // both
                                           FlowCase{0xCF, true, false},   // other lines do not count
                                           FlowCase{0xEF, false, false}, FlowCase{0xFF, true, true}));

TEST(SerialPortWrite, FlowControlHoldsEachByteUntilThePeerIsReady) {
  Platform p;
  using Flow = SerialPortLibT<serialtest::FlowControlSettings>;
  ScriptedRegister msr({0x20, 0x20, 0x20, 0x30});
  p.bus.MapIo(0x3FE, 0x3FE, &msr);
  EXPECT_EQ(Flow::Write(Bytes("ab"), 2), 2u);
  const std::vector<Access> expected = {IoR8(0x3FA, 0xC1), IoR8(0x3FD, 0x60), IoR8(0x3FE, 0x20), IoR8(0x3FE, 0x20),
                                        IoR8(0x3FE, 0x20),  // held back
                                        IoR8(0x3FE, 0x30), IoW8(0x3F8, 'a'),  IoR8(0x3FE, 0x30), IoW8(0x3F8, 'b')};
  EXPECT_TRUE(TraceIs(p.bus.Trace(), expected));
}

// Brings a reset UART up with the variant's settings and sends `text`.
template <typename Settings>
void BringUpAndSend(Platform &p, Uart16550 &uart, const std::string &text) {
  uart.PowerOnReset();
  ASSERT_EQ(SerialPortLibT<Settings>::Initialize(), EFI_SUCCESS);
  p.bus.ClearTrace();
  EXPECT_EQ(SerialPortLibT<Settings>::Write(Bytes(text), text.size()), text.size());
  uart.DrainAll();
  EXPECT_EQ(uart.Sent(), text);
  EXPECT_EQ(uart.BytesLost(), 0u);
}

TEST(SerialPortWriteFifoSettings, FifosOffSendsOneByteAfterEachTemtWait) {
  for (const bool bit5 : {false, true}) {
    SCOPED_TRACE(bit5 ? "0x20" : "0x00");
    Platform p;
    if (bit5) {
      BringUpAndSend<serialtest::FifoSettings<0x20>>(p, p.uart, "abc");
    } else {
      BringUpAndSend<serialtest::FifoSettings<0x00>>(p, p.uart, "abc");
    }
    EXPECT_FALSE(p.uart.FifosEnabled());
    // A lone byte fits the holding register: no IIR read for it.
    EXPECT_TRUE(TraceIs(CollapsePolls(p.bus.Trace()),
                        {IoR8(0x3FD, 0x60), IoW8(0x3F8, 'a'), IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60), IoW8(0x3F8, 'b'),
                         IoR8(0x3FD, 0x20), IoR8(0x3FD, 0x60), IoW8(0x3F8, 'c')}));
    EXPECT_EQ(Bursts(p.bus.Trace()), (std::vector<size_t>{1, 1, 1}));
  }
}

TEST(SerialPortWriteFifoSettings, FifoOnSendsSixteenByteBursts) {
  Platform p;
  BringUpAndSend<serialtest::FifoSettings<0x01>>(p, p.uart, kForty);
  EXPECT_EQ(Bursts(p.bus.Trace()), (std::vector<size_t>{16, 16, 8}));
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FA), 3u);
}

// The bursts a 64-byte FIFO setting sends, with the extended size set to Size.
template <UINT32 Size>
std::vector<size_t> ExtendedBursts(const std::string &text) {
  Platform p;
  Uart16550 uart64(p.clock, /*fifo64Capable=*/true);
  p.bus.MapIo(0x3F8, 0x3FF, &uart64);
  BringUpAndSend<serialtest::FifoSettings<0x21, Size>>(p, uart64, text);
  EXPECT_EQ(uart64.FifoDepth(), 64u);
  EXPECT_EQ(CountOf(p.bus.Trace(), Dir::Read, 0x3FA), Bursts(p.bus.Trace()).size());  // one IIR read a burst
  return Bursts(p.bus.Trace());
}

TEST(SerialPortWriteFifoSettings, SixtyFourByteFifoSendsExtendedBursts) {
  const std::string text = kForty + kForty + kForty;
  EXPECT_EQ(ExtendedBursts<64>(text), (std::vector<size_t>{64, 56}));
  EXPECT_EQ(ExtendedBursts<48>(text), (std::vector<size_t>{48, 48, 24}));
}

}  // namespace
