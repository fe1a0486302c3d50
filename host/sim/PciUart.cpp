#include "sim/PciUart.h"

namespace sim {

PciUart::PciUart(std::string name, Bus &bus, const Clock &clock, std::array<Bar, 6> bars, int uartBar, uint16_t pmcsr,
                 bool fifo64Capable)
    : PciFunction(std::move(name), 0x8086, 0x0F0A),
      uart(clock, fifo64Capable, "PCIUART"),
      bus_(bus),
      bars_(bars),
      uartBar_(uartBar),
      pmcsr_(pmcsr) {
  config_[0x09] = 0x02;  // 16550-compatible
  config_[0x0A] = 0x00;  // serial controller
  config_[0x0B] = 0x07;  // communication controller
  if (pmcsr != 0) {
    config_[0x06] = 0x10;
    config_[0x34] = static_cast<uint8_t>(pmcsr - 4);
    config_[pmcsr - 4] = 0x01;
  }
  for (int i = 0; i < 6; ++i) SetDword(static_cast<uint16_t>(kBar0 + 4 * i), Masked(i, 0));
}

PciUart::~PciUart() { bus_.Unmap(&uart); }

uint32_t PciUart::Masked(int index, uint32_t value) const {
  switch (bars_[index]) {
    case Bar::Io:
      return (value & ~0x7u) | 0x1;  // 8 ports
    case Bar::Mem32:
      return value & ~0xFFFu;  // 4 KiB, 32-bit, not prefetchable
    case Bar::Mem64Low:
      return (value & ~0xFFFu) | 0x4;
    case Bar::Mem64High:
      return value;
    default:
      return 0;
  }
}

void PciUart::SetBar(int index, uint32_t value) {
  SetDword(static_cast<uint16_t>(kBar0 + 4 * index), Masked(index, value));
  Remap();
}

void PciUart::SetPowerState(uint8_t state) {
  if (pmcsr_ == 0) return;
  config_[pmcsr_] = static_cast<uint8_t>((config_[pmcsr_] & ~0x03) | (state & 0x03));
  Remap();
}

void PciUart::WriteByte(uint16_t reg, uint8_t value) {
  if (pmcsr_ != 0 && reg == pmcsr_) powerBeforeWrite_ = PowerState();
  if (reg < 0x10 && reg != kCommand && reg != kCommand + 1) return;  // identification and status
  config_[reg] = value;
}

void PciUart::AfterWrite(uint16_t reg, int width) {
  for (int i = 0; i < 6; ++i) {
    const uint16_t bar = static_cast<uint16_t>(kBar0 + 4 * i);
    SetDword(bar, Masked(i, Dword(bar)));
  }
  if (pmcsr_ != 0 && reg <= pmcsr_ && pmcsr_ < reg + width && powerBeforeWrite_ != 0 && PowerState() == 0) {
    uart.PowerOnReset();  // D3hot to D0 without No_Soft_Reset: the function starts afresh
  }
  Remap();
}

void PciUart::Remap() {
  bus_.Unmap(&uart);
  mapped_ = false;
  const bool io = bars_[uartBar_] == Bar::Io;
  const uint32_t base = Dword(static_cast<uint16_t>(kBar0 + 4 * uartBar_)) & (io ? ~0x7u : ~0xFu);
  const uint16_t enable = io ? 0x0001 : 0x0002;
  if (base == 0 || (Command() & enable) == 0 || PowerState() != 0) return;
  if (io) {
    bus_.MapIo(static_cast<uint16_t>(base), static_cast<uint16_t>(base + 7), &uart);
  } else {
    bus_.MapMem(base, base + 7, &uart);
  }
  mapped_ = true;
}

std::string PciUart::RegisterName(uint16_t reg) const {
  if (reg == kCommand) return Name() + ".COMMAND";
  if (reg >= kBar0 && reg < kBar0 + 24 && (reg & 3) == 0) return Name() + ".BAR" + std::to_string((reg - kBar0) / 4);
  if (pmcsr_ != 0 && reg == pmcsr_) return Name() + ".PMCSR";
  return PciFunction::RegisterName(reg);
}

}  // namespace sim
