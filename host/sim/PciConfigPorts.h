// PCI configuration mechanism #1: a dword written to 0xCF8 (bit 31 enable,
// bus 16-23, device 11-15, function 8-10, register 2-7) chooses the dword
// that 0xCFC-0xCFF reach, in the same configuration space as the PCI Express
// window.  With the enable bit clear, or no function there, data reads as
// all ones and writes are lost.
#pragma once

#include <cstdint>

#include "sim/Pci.h"

namespace sim {

class PciConfigPorts : public Device {
 public:
  static constexpr uint16_t kAddressPort = 0xCF8, kDataPort = 0xCFC;

  explicit PciConfigPorts(PciSegment &segment) : segment_(segment) {}
  const char *Name() const override { return "PCICFG"; }
  uint32_t Read(Space space, uint64_t offset, int width) override;
  void Write(Space space, uint64_t offset, int width, uint32_t value) override;
  std::string RegisterName(Space space, uint64_t offset, Dir dir) const override;
  std::string Note(Space space, uint64_t offset, Dir dir, uint32_t value) const override;

  uint32_t Address() const { return address_; }

  // Fault switch: the mechanism is off (the chipset decodes neither port).
  bool disabled = false;

 private:
  PciFunction *Target() const;

  PciSegment &segment_;
  uint32_t address_ = 0;
};

}  // namespace sim
