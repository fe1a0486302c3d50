// The CMOS store behind index/data ports 0x70/0x71: 128 bytes.  Bit 7 of a
// byte written to the index port masks NMI; bits 0-6 pick the byte.  The
// index port is write-only and reads as 0xFF.
#pragma once

#include <array>
#include <cstdint>

#include "sim/Bus.h"

namespace sim {

class Cmos : public Device {
 public:
  static constexpr uint16_t kIndexPort = 0x70, kDataPort = 0x71;
  static constexpr uint8_t kSerialBaudIndex = 0x6F;
  static constexpr uint8_t kNmiDisable = 0x80;

  const char *Name() const override { return "CMOS"; }
  uint32_t Read(Space space, uint64_t offset, int width) override;
  void Write(Space space, uint64_t offset, int width, uint32_t value) override;
  std::string RegisterName(Space space, uint64_t offset, Dir dir) const override;

  uint8_t &Byte(uint8_t index) { return ram_[index & 0x7F]; }
  bool NmiMasked() const { return nmiMasked_; }

  // Fault switch: the battery has failed and every byte reads 0xFF.
  bool batteryFailed = false;

 private:
  std::array<uint8_t, 128> ram_{};
  uint8_t index_ = 0;
  bool nmiMasked_ = false;
};

}  // namespace sim
