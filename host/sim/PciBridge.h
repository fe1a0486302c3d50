// A PCI-to-PCI bridge (type 1 header): bus numbers, I/O and memory windows,
// the upper 16 bits of a 32-bit I/O window, the command register and a
// power-management capability.  Read-only bits read as the hardware has
// them: the low nibble of I/O base/limit gives the decoding width (bit 0 set:
// 32-bit), that of memory base/limit is zero.  Forwarding is not modelled:
// devices behind the bridge answer on the bus directly.
#pragma once

#include <cstdint>
#include <string>

#include "sim/Pci.h"

namespace sim {

class PciBridge : public PciFunction {
 public:
  static constexpr uint16_t kCommand = 0x04, kSecondaryBus = 0x19, kSubordinateBus = 0x1A, kIoBase = 0x1C,
                            kIoLimit = 0x1D, kMemoryBase = 0x20, kMemoryLimit = 0x22, kIoBaseUpper = 0x30,
                            kIoLimitUpper = 0x32;

  // pmcsr: offset of the power-management control/status register, or 0.
  PciBridge(std::string name, bool io32, uint16_t pmcsr);

  std::string RegisterName(uint16_t reg) const override;

  // Set-up, not traced.  Windows are byte addresses, bases and limits inclusive.
  void SetBuses(uint8_t primary, uint8_t secondary, uint8_t subordinate);
  void SetIoWindow(uint32_t base, uint32_t limit);
  void SetMemoryWindow(uint32_t base, uint32_t limit);
  void SetPowerState(uint8_t state);
  uint8_t PowerState() const { return pmcsr_ == 0 ? 0 : config_[pmcsr_] & 0x03; }
  uint16_t Command() const { return Word(kCommand); }
  uint16_t Pmcsr() const { return pmcsr_; }

 protected:
  void WriteByte(uint16_t reg, uint8_t value) override;

 private:
  const bool io32_;
  const uint16_t pmcsr_;
};

}  // namespace sim
