// A PCI UART: a 16550 behind one of six base address registers, decoded on
// the bus while the command register enables the BAR's space, the function is
// in D0 and the BAR holds an address.  BARs read back their type bits and
// drop address bits below their size, as sizing hardware does.  Leaving a
// low-power state resets the UART (FIFOs off).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/Pci.h"
#include "sim/Uart16550.h"

namespace sim {

class PciUart : public PciFunction {
 public:
  enum class Bar : uint8_t { None, Io, Mem32, Mem64Low, Mem64High };
  static constexpr uint16_t kCommand = 0x04, kBar0 = 0x10;

  // uartBar: the BAR the UART's registers sit behind; pmcsr: offset of the
  // power-management control/status register, or 0.
  PciUart(std::string name, Bus &bus, const Clock &clock, std::array<Bar, 6> bars, int uartBar, uint16_t pmcsr,
          bool fifo64Capable = false);
  ~PciUart() override;

  std::string RegisterName(uint16_t reg) const override;

  Uart16550 uart;

  // Set-up, not traced.
  void SetBar(int index, uint32_t value);
  void SetPowerState(uint8_t state);
  uint8_t PowerState() const { return pmcsr_ == 0 ? 0 : config_[pmcsr_] & 0x03; }
  uint16_t Command() const { return Word(kCommand); }
  bool Decoding() const { return mapped_; }

 protected:
  void WriteByte(uint16_t reg, uint8_t value) override;
  void AfterWrite(uint16_t reg, int width) override;

 private:
  uint32_t Masked(int index, uint32_t value) const;
  void Remap();

  Bus &bus_;
  const std::array<Bar, 6> bars_;
  const int uartBar_;
  const uint16_t pmcsr_;
  uint8_t powerBeforeWrite_ = 0;
  bool mapped_ = false;
};

}  // namespace sim
