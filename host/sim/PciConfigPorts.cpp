#include "sim/PciConfigPorts.h"

#include <cstdio>

namespace sim {

PciFunction *PciConfigPorts::Target() const {
  if ((address_ & 0x80000000u) == 0) return nullptr;
  return segment_.Find({static_cast<uint8_t>(address_ >> 16), static_cast<uint8_t>((address_ >> 11) & 0x1F),
                        static_cast<uint8_t>((address_ >> 8) & 0x7)});
}

uint32_t PciConfigPorts::Read(Space, uint64_t offset, int width) {
  if (disabled) return 0xFFFFFFFFu;
  if (offset == 0 && width == 4) return address_;
  PciFunction *f = offset >= 4 ? Target() : nullptr;
  if (f == nullptr) return 0xFFFFFFFFu;
  return f->ConfigRead(static_cast<uint16_t>((address_ & 0xFC) + (offset - 4)), width);
}

void PciConfigPorts::Write(Space, uint64_t offset, int width, uint32_t value) {
  if (disabled) return;
  if (offset == 0 && width == 4) {
    address_ = value & 0x80FFFFFCu;  // reserved bits 24-30 and 0-1 read as zero
    return;
  }
  PciFunction *f = offset >= 4 ? Target() : nullptr;
  if (f != nullptr) f->ConfigWrite(static_cast<uint16_t>((address_ & 0xFC) + (offset - 4)), width, value);
}

std::string PciConfigPorts::RegisterName(Space, uint64_t offset, Dir) const { return offset < 4 ? "ADDRESS" : "DATA"; }

std::string PciConfigPorts::Note(Space, uint64_t offset, Dir dir, uint32_t value) const {
  // A configuration address: bus, device, function and register.
  if (dir != Dir::Write || offset != 0) return {};
  char text[48];
  std::snprintf(text, sizeof text, "%u:%u.%u reg 0x%02X%s", (value >> 16) & 0xFF, (value >> 11) & 0x1F,
                (value >> 8) & 0x7, value & 0xFC, (value & 0x80000000u) != 0 ? "" : " (disabled)");
  return text;
}

}  // namespace sim
