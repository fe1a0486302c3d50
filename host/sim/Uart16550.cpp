#include "sim/Uart16550.h"

#include <cstdio>

namespace sim {

Uart16550::Uart16550(const Clock &clock, bool fifo64Capable, const char *name)
    : clock_(clock), fifo64Capable_(fifo64Capable), name_(name) {}

void Uart16550::PowerOnReset() {
  CatchUp();
  lcr_ = mcr_ = ier_ = scr_ = dll_ = dlm_ = 0;
  fifoEnabled_ = fifo64_ = false;
  fifo_.clear();
  shifting_ = false;
}

void Uart16550::SetUpAs8N1At115200() {
  lcr_ = 0x03;
  SetDivisor(1);
  SetFifoControl(kFcrEnable);
}

void Uart16550::SetDivisor(uint16_t divisor) {
  dll_ = static_cast<uint8_t>(divisor);
  dlm_ = static_cast<uint8_t>(divisor >> 8);
}

void Uart16550::SetFifoControl(uint8_t fcr) {
  if (faults.fifosAbsent) return;
  CatchUp();
  const bool enable = (fcr & kFcrEnable) != 0;
  // Switching the FIFOs on or off empties them, as does the clear bit.
  if (enable != fifoEnabled_ || (fcr & kFcrClearTx) != 0) fifo_.clear();
  fifoEnabled_ = enable;
  fifo64_ = enable && fifo64Capable_ && (fcr & kFcr64) != 0;
}

size_t Uart16550::FifoDepth() const {
  if (!FifosEnabled()) return 1;  // the holding register
  return fifo64_ ? 64 : 16;
}

uint64_t Uart16550::CharacterNs() const {
  if (instantLine) return 0;
  const unsigned dataBits = 5 + (lcr_ & 0x03);
  const unsigned parityBits = (lcr_ & 0x08) ? 1 : 0;
  // Two stop bits, or one and a half with 5 data bits: count the half as a whole.
  const unsigned stopBits = (lcr_ & 0x04) ? 2 : 1;
  const uint64_t bits = 1 + dataBits + parityBits + stopBits;
  const uint64_t divisor = Divisor() == 0 ? 0x10000 : Divisor();
  return bits * 16 * divisor * 1000000000ull / kInputClockHz;
}

void Uart16550::StartShift(uint64_t at) const {
  shiftByte_ = fifo_.front();
  fifo_.pop_front();
  shifting_ = true;
  shiftEndNs_ = at + CharacterNs();
}

void Uart16550::CatchUp() const {
  if (faults.transmitterStuck) return;
  const uint64_t now = clock_.Now() + extraNs_;
  while (shifting_ && shiftEndNs_ <= now) {
    sent_.push_back(static_cast<char>(shiftByte_));
    shifting_ = false;
    if (!fifo_.empty()) StartShift(shiftEndNs_);
  }
}

const std::string &Uart16550::Sent() const {
  CatchUp();
  return sent_;
}

size_t Uart16550::Pending() const {
  CatchUp();
  return fifo_.size() + (shifting_ ? 1 : 0);
}

void Uart16550::DrainAll() {
  if (faults.transmitterStuck) return;
  CatchUp();
  while (shifting_) {
    extraNs_ += shiftEndNs_ - (clock_.Now() + extraNs_);
    CatchUp();
  }
}

uint32_t Uart16550::Read(Space, uint64_t offset, int) {
  CatchUp();
  if (decoded && !decoded()) return 0xFF;
  const bool dlab = (lcr_ & kLcrDlab) != 0;
  switch (offset & 7) {
    case kRbrThrDll:
      return dlab ? dll_ : 0x00;
    case kIerDlm:
      return dlab ? dlm_ : ier_;
    case kIirFcr:
      if (!FifosEnabled()) return kIirNoInterrupt;
      return kIirFifos | (fifo64_ ? kIirFifo64 : 0) | kIirNoInterrupt;
    case kLcr:
      return lcr_;
    case kMcr:
      return mcr_;
    case kLsr: {
      if (faults.transmitterStuck) return 0x00;
      uint8_t lsr = 0;
      if (fifo_.empty()) lsr |= kLsrThre;
      if (fifo_.empty() && !shifting_) lsr |= kLsrTemt;
      return lsr;
    }
    case kMsr:
      return faults.modemLinesHeld ? *faults.modemLinesHeld : msr_;
    default:
      return scr_;
  }
}

void Uart16550::Write(Space, uint64_t offset, int, uint32_t value) {
  CatchUp();
  if (decoded && !decoded()) return;
  const uint8_t byte = static_cast<uint8_t>(value);
  const bool dlab = (lcr_ & kLcrDlab) != 0;
  switch (offset & 7) {
    case kRbrThrDll:
      if (dlab) {
        dll_ = byte;
      } else if (fifo_.size() >= FifoDepth() || faults.transmitterStuck) {
        ++lost_;
      } else {
        fifo_.push_back(byte);
        if (!shifting_) StartShift(clock_.Now() + extraNs_);
      }
      break;
    case kIerDlm:
      (dlab ? dlm_ : ier_) = byte;
      break;
    case kIirFcr:
      SetFifoControl(byte);
      break;
    case kLcr:
      lcr_ = byte;
      break;
    case kMcr:
      mcr_ = byte;
      break;
    case kScr:
      scr_ = byte;
      break;
    default:  // LSR and MSR are read-only
      break;
  }
}

std::string Uart16550::Note(Space, uint64_t offset, Dir dir, uint32_t value) const {
  // A byte sent, as a character.
  if (dir != Dir::Write || (offset & 7) != kRbrThrDll || (lcr_ & kLcrDlab) != 0) return {};
  const uint8_t c = static_cast<uint8_t>(value);
  char text[12];
  if (c == '\r' || c == '\n') {
    std::snprintf(text, sizeof text, "'\\%c'", c == '\r' ? 'r' : 'n');
  } else if (c >= 0x20 && c < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else {
    std::snprintf(text, sizeof text, "'\\x%02X'", c);
  }
  return text;
}

std::string Uart16550::RegisterName(Space, uint64_t offset, Dir dir) const {
  // Offsets 0 and 1 reach the divisor latch while DLAB is set.
  const bool read = dir == Dir::Read;
  const bool dlab = (lcr_ & kLcrDlab) != 0;
  switch (offset & 7) {
    case kRbrThrDll:
      return dlab ? "DLL" : read ? "RBR" : "THR";
    case kIerDlm:
      return dlab ? "DLM" : "IER";
    case kIirFcr:
      return read ? "IIR" : "FCR";
    case kLcr:
      return "LCR";
    case kMcr:
      return "MCR";
    case kLsr:
      return "LSR";
    case kMsr:
      return "MSR";
    default:
      return "SCR";
  }
}

std::string RenderAsTerminal(const std::string &bytes) {
  std::string out;
  std::string line;
  size_t column = 0;
  auto put = [&](const std::string &text) {
    for (char c : text) {
      if (column < line.size()) {
        line[column] = c;
      } else {
        line.push_back(c);
      }
      ++column;
    }
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\n') {
      out += line + "\n";
      line.clear();
      column = 0;
    } else if (c == '\r') {
      column = 0;
    } else if (c == '\b') {
      if (column > 0) --column;
    } else if (c == '\t') {
      put(std::string(8 - column % 8, ' '));
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      put(escaped);
    } else {
      put(std::string(1, static_cast<char>(c)));
    }
  }
  return out + line;
}

}  // namespace sim
