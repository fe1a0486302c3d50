#include "sim/PciBridge.h"

#include <cstdio>

namespace sim {

PciBridge::PciBridge(std::string name, bool io32, uint16_t pmcsr)
    : PciFunction(std::move(name), 0x8086, 0x244E), io32_(io32), pmcsr_(pmcsr) {
  config_[0x0A] = 0x04;  // sub-class: PCI-to-PCI
  config_[0x0B] = 0x06;  // class: bridge
  config_[0x0E] = 0x01;  // type 1 header
  config_[kIoBase] = config_[kIoLimit] = io32 ? 0x01 : 0x00;
  if (pmcsr != 0) {
    config_[0x06] = 0x10;  // capability list
    config_[0x34] = static_cast<uint8_t>(pmcsr - 4);
    config_[pmcsr - 4] = 0x01;  // power management
  }
}

void PciBridge::SetBuses(uint8_t primary, uint8_t secondary, uint8_t subordinate) {
  config_[0x18] = primary;
  config_[kSecondaryBus] = secondary;
  config_[kSubordinateBus] = subordinate;
}

void PciBridge::SetIoWindow(uint32_t base, uint32_t limit) {
  const uint8_t width = io32_ ? 0x01 : 0x00;
  config_[kIoBase] = static_cast<uint8_t>(((base >> 8) & 0xF0) | width);
  config_[kIoLimit] = static_cast<uint8_t>(((limit >> 8) & 0xF0) | width);
  SetWord(kIoBaseUpper, io32_ ? static_cast<uint16_t>(base >> 16) : 0);
  SetWord(kIoLimitUpper, io32_ ? static_cast<uint16_t>(limit >> 16) : 0);
}

void PciBridge::SetMemoryWindow(uint32_t base, uint32_t limit) {
  SetWord(kMemoryBase, static_cast<uint16_t>((base >> 16) & 0xFFF0));
  SetWord(kMemoryLimit, static_cast<uint16_t>((limit >> 16) & 0xFFF0));
}

void PciBridge::SetPowerState(uint8_t state) {
  if (pmcsr_ != 0) config_[pmcsr_] = static_cast<uint8_t>((config_[pmcsr_] & ~0x03) | (state & 0x03));
}

void PciBridge::WriteByte(uint16_t reg, uint8_t value) {
  switch (reg) {
    case kIoBase:
    case kIoLimit:
      config_[reg] = static_cast<uint8_t>((value & 0xF0) | (config_[reg] & 0x0F));
      return;
    case kMemoryBase:
    case kMemoryLimit:
      config_[reg] = value & 0xF0;
      return;
    case kIoBaseUpper:
    case kIoBaseUpper + 1:
    case kIoLimitUpper:
    case kIoLimitUpper + 1:
      config_[reg] = io32_ ? value : 0;
      return;
    default:
      if (reg < 0x10 && reg != kCommand && reg != kCommand + 1) return;  // identification and status
      config_[reg] = value;
  }
}

std::string PciBridge::RegisterName(uint16_t reg) const {
  const char *field = nullptr;
  switch (reg) {
    case kCommand:
      field = "COMMAND";
      break;
    case kSecondaryBus:
      field = "SECONDARY_BUS";
      break;
    case kSubordinateBus:
      field = "SUBORDINATE_BUS";
      break;
    case kIoBase:
      field = "IO_BASE";
      break;
    case kIoLimit:
      field = "IO_LIMIT";
      break;
    case kMemoryBase:
      field = "MEMORY_BASE";
      break;
    case kMemoryLimit:
      field = "MEMORY_LIMIT";
      break;
    case kIoBaseUpper:
      field = "IO_BASE_UPPER";
      break;
    case kIoLimitUpper:
      field = "IO_LIMIT_UPPER";
      break;
    default:
      break;
  }
  if (reg == pmcsr_ && pmcsr_ != 0) field = "PMCSR";
  if (field == nullptr) return PciFunction::RegisterName(reg);
  return Name() + "." + field;
}

}  // namespace sim
