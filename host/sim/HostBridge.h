// The host bridge at 0:0.0 and its PCIEXBAR (register 0x60, 64 bits, q35's
// layout): bit 0 enables the PCI Express window, bits 2:1 give its length
// (00 256 MiB, 01 128 MiB, 10 64 MiB; 11 reserved, decoded as off), and the
// base sits in bits 35:28, 35:27 or 35:26 by length.  Every write that
// reaches the register moves the window (the platform maps it where the
// register says), as the chipset would.
//
// And memory behind a BAR that software placed: a display adapter's
// framebuffer, plain bytes, that an attacker can put where the window was.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "sim/Pci.h"

namespace sim {

class HostBridge : public PciFunction {
 public:
  static constexpr uint16_t kPciExBar = 0x60;
  static constexpr uint64_t kEnable = 0x1;

  explicit HostBridge(std::function<void()> windowMoved);
  std::string RegisterName(uint16_t reg) const override;

  uint64_t PciExBar() const { return static_cast<uint64_t>(Dword(kPciExBar + 4)) << 32 | Dword(kPciExBar); }
  void SetPciExBar(uint64_t value);  // set-up, not traced; moves the window
  // Where the window decodes and its size, or nothing when it is off.
  std::optional<uint64_t> WindowBase() const;
  uint64_t WindowSize() const;

 protected:
  void AfterWrite(uint16_t reg, int width) override;

 private:
  std::function<void()> windowMoved_;
};

class MemoryBar : public Device {
 public:
  static constexpr uint64_t kSize = 16 << 20;  // a display adapter's 16 MiB framebuffer
  const char *Name() const override { return "FRAMEBUFFER"; }
  uint32_t Read(Space, uint64_t offset, int width) override;
  void Write(Space, uint64_t offset, int width, uint32_t value) override;
  uint8_t &Byte(uint64_t offset) { return bytes_[offset]; }

 private:
  std::map<uint64_t, uint8_t> bytes_;  // sparse: unwritten bytes read 0
};

}  // namespace sim
