// A Super I/O chip with ISA Plug and Play configuration registers behind
// index/data ports 0x370/0x371, open at any time (no entry key).  Registers
// below 0x30 are global; register 0x07 selects the logical device whose
// registers 0x30 (activate), 0x60/0x61 (I/O base), 0x70 (IRQ) and its own
// ones from 0xF0 up the data port then reaches.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "sim/Bus.h"

namespace sim {

class SuperIo : public Device {
 public:
  static constexpr uint16_t kIndexPort = 0x370, kDataPort = 0x371;
  static constexpr uint8_t kLogicalDeviceSelect = 0x07, kActivate = 0x30, kBaseHigh = 0x60, kBaseLow = 0x61,
                           kIrq = 0x70;

  const char *Name() const override { return "SIO"; }
  uint32_t Read(Space space, uint64_t offset, int width) override;
  void Write(Space space, uint64_t offset, int width, uint32_t value) override;
  std::string RegisterName(Space space, uint64_t offset, Dir dir) const override;

  // Direct access, not traced: a global register, or one of a logical device.
  uint8_t &Global(uint8_t index) { return global_[index % 0x30]; }
  uint8_t &Reg(uint8_t logicalDevice, uint8_t index) { return devices_[logicalDevice][index]; }
  uint8_t SelectedDevice() const { return global_[kLogicalDeviceSelect]; }
  uint16_t IoBase(uint8_t logicalDevice) {
    return static_cast<uint16_t>(Reg(logicalDevice, kBaseHigh) << 8 | Reg(logicalDevice, kBaseLow));
  }
  bool Active(uint8_t logicalDevice) { return (Reg(logicalDevice, kActivate) & 0x01) != 0; }

  // Fault switch: the chip does not answer (reads 0xFF, writes are lost).
  bool absent = false;
  // When set, the chip answers only while this returns true (the chipset
  // forwards its ports); see Platform::EnforceLegacyDecode.
  std::function<bool()> decoded;

 private:
  uint8_t &Target(uint8_t index) { return index < 0x30 ? global_[index] : devices_[SelectedDevice()][index]; }

  uint8_t index_ = 0;
  std::array<uint8_t, 0x30> global_{};
  std::array<std::array<uint8_t, 256>, 256> devices_{};
};

}  // namespace sim
