// Shared by the diagnostics tests: a platform whose debug UART records what
// the module transmits, and helpers to run the engine over 8-byte slots.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "AutoGen.h"
#include "sim/Platform.h"

namespace diagnostics {

// A 16550 at 0x3F8 that is always ready and keeps every byte written to the
// transmit holding register.  With a descriptor set it also forwards each byte
// there as it is written (used from a child process that never returns).
class UartCapture : public sim::Device {
 public:
  explicit UartCapture(sim::Bus &bus, uint16_t base = 0x3F8) : bus_(bus) { bus.MapIo(base, base + 7, this); }
  ~UartCapture() override { bus_.Unmap(this); }
  const char *Name() const override { return "UART"; }

  uint32_t Read(sim::Space, uint64_t offset, int) override {
    switch (offset) {
      case 2:
        return 0xC1;  // IIR: FIFOs enabled, no interrupt pending
      case 3:
        return lcr_;
      case 5:
        return 0x60;  // LSR: holding register and transmitter empty
      case 6:
        return 0xB0;  // MSR: carrier, data set ready, clear to send
      default:
        return 0;
    }
  }
  void Write(sim::Space, uint64_t offset, int, uint32_t value) override {
    if (offset == 3) {
      lcr_ = static_cast<uint8_t>(value);
    } else if (offset == 0 && (lcr_ & 0x80) == 0) {
      const char byte = static_cast<char>(value);
      text += byte;
      if (forwardFd >= 0) {
        ssize_t ignored = ::write(forwardFd, &byte, 1);
        (void)ignored;
      }
    }
  }

  std::string text;
  int forwardFd = -1;

 private:
  sim::Bus &bus_;
  uint8_t lcr_ = 0x03;
};

// Sets the module's print-level variable for one test and restores it.
class PrintLevelScope {
 public:
  explicit PrintLevelScope(UINT32 level) : saved_(PcdDebugPrintErrorLevel) { PcdDebugPrintErrorLevel = level; }
  ~PrintLevelScope() { PcdDebugPrintErrorLevel = saved_; }

 private:
  UINT32 saved_;
};

inline UINT64 Slot(const void *pointer) { return static_cast<UINT64>(reinterpret_cast<uintptr_t>(pointer)); }

// An assertion report as the UART carries it: the line number of the check
// is matched as any decimal number.
inline std::string ReportPattern(const std::string &file, const std::string &text) {
  std::string escaped;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return "ASSERT " + file + "\\([0-9]+\\): " + escaped + "\r\n";
}

// The text is exactly these reports, in order.
inline ::testing::AssertionResult ReportsAre(const std::string &text, const std::vector<std::string> &patterns) {
  std::string all;
  for (const std::string &pattern : patterns) all += pattern;
  if (std::regex_match(text, std::regex(all))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "UART text \"" << text << "\" does not match \"" << all << "\"";
}

}  // namespace diagnostics
