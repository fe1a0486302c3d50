// A 16550-compatible UART: eight byte registers at base + 0..7.
//
// DLAB (LCR bit 7) banks offsets 0 and 1 onto the divisor latch.  The
// transmitter drains its FIFO (16 bytes, or 64 on a part with the 64-byte
// mode and FCR bit 5 set; a single holding register with FIFOs off) at the
// programmed rate in simulated time: each character takes start + data +
// parity + stop bits at clock / (16 x divisor).  LSR THRE and TEMT follow
// the FIFO and the shift register.  Sent bytes are captured; a byte written
// into a full FIFO is lost and counted.  There is no receive path: RBR reads
// 0 and LSR's data-ready bit stays clear.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "sim/Bus.h"
#include "sim/Clock.h"

namespace sim {

class Uart16550 : public Device {
 public:
  static constexpr uint32_t kInputClockHz = 1843200;

  // Register offsets and bits the model gives meaning to.
  static constexpr uint8_t kRbrThrDll = 0, kIerDlm = 1, kIirFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5, kMsr = 6, kScr = 7;
  static constexpr uint8_t kLcrDlab = 0x80;
  static constexpr uint8_t kFcrEnable = 0x01, kFcrClearRx = 0x02, kFcrClearTx = 0x04, kFcr64 = 0x20;
  static constexpr uint8_t kLsrThre = 0x20, kLsrTemt = 0x40;
  static constexpr uint8_t kIirNoInterrupt = 0x01, kIirFifos = 0xC0, kIirFifo64 = 0x20;
  static constexpr uint8_t kMsrCts = 0x10, kMsrDsr = 0x20;

  // fifo64Capable: a part with the 64-byte FIFO mode (FCR bit 5).
  explicit Uart16550(const Clock &clock, bool fifo64Capable = false, const char *name = "UART");

  const char *Name() const override { return name_; }
  uint32_t Read(Space space, uint64_t offset, int width) override;
  void Write(Space space, uint64_t offset, int width, uint32_t value) override;
  std::string RegisterName(Space space, uint64_t offset, Dir dir) const override;
  std::string Note(Space space, uint64_t offset, Dir dir, uint32_t value) const override;

  // Fault switches.
  struct Faults {
    bool transmitterStuck = false;          // LSR never reports an empty transmitter; nothing leaves
    bool fifosAbsent = false;               // an 8250-class part: FCR ignored, IIR bits 6-7 clear
    std::optional<uint8_t> modemLinesHeld;  // MSR reads this, whatever the peer does
  } faults;

  // A line that takes each character as soon as it is written, as QEMU's
  // 16550 does (its back end never waits for a baud clock): the transmitter
  // always reads empty.
  bool instantLine = false;

  // When set, the UART answers only while this returns true (reads 0xFF,
  // writes are lost otherwise); see Platform::EnforceLegacyDecode.
  std::function<bool()> decoded;

  // The peer's modem lines as MSR shows them (DSR and CTS up by default).
  void SetModemStatus(uint8_t msr) { msr_ = msr; }

  // Register state as reset leaves it: LCR, FCR, MCR, IER clear, divisor 0.
  void PowerOnReset();
  // State an earlier boot stage leaves: 8N1 at 115200 baud, FIFOs on.
  void SetUpAs8N1At115200();
  // Direct set-up, not traced: the line format and divisor latch.
  void SetLineControl(uint8_t lcr) { lcr_ = lcr; }
  void SetDivisor(uint16_t divisor);
  void SetFifoControl(uint8_t fcr);

  uint8_t LineControl() const { return lcr_; }
  uint16_t Divisor() const { return static_cast<uint16_t>(dlm_ << 8 | dll_); }
  uint8_t ModemControl() const { return mcr_; }
  bool FifosEnabled() const { return fifoEnabled_ && !faults.fifosAbsent; }
  size_t FifoDepth() const;
  // The baud rate the latch gives (0 for a zero divisor).
  uint32_t BaudRate() const { return Divisor() == 0 ? 0 : kInputClockHz / (16u * Divisor()); }
  // Time one character takes on the line with the current format and divisor.
  uint64_t CharacterNs() const;

  // Bytes that have left the shift register, in order.
  const std::string &Sent() const;
  size_t BytesLost() const { return lost_; }
  // Bytes still in the FIFO or the shift register.
  size_t Pending() const;
  // Lets simulated time run until the transmitter is empty.
  void DrainAll();

 private:
  void CatchUp() const;
  void StartShift(uint64_t at) const;

  const Clock &clock_;
  const bool fifo64Capable_;
  const char *name_;
  uint8_t lcr_ = 0, mcr_ = 0, ier_ = 0, scr_ = 0, dll_ = 0, dlm_ = 0, msr_ = kMsrCts | kMsrDsr;
  bool fifoEnabled_ = false, fifo64_ = false;
  uint64_t extraNs_ = 0;  // time DrainAll let pass beyond the platform clock
  size_t lost_ = 0;
  // The transmitter changes with time, so it is brought up to date lazily,
  // also from const observers.
  mutable std::deque<uint8_t> fifo_;
  mutable bool shifting_ = false;
  mutable uint8_t shiftByte_ = 0;
  mutable uint64_t shiftEndNs_ = 0;
  mutable std::string sent_;
};

// The captured bytes as a terminal on the line would show them: CR LF and a
// lone LF end a line, a lone CR returns to the start of the line (later text
// overwrites it), backspace steps back, tabs go to the next multiple of 8,
// and other control or non-ASCII bytes are shown as \xNN.
std::string RenderAsTerminal(const std::string &bytes);

}  // namespace sim
