#include "sim/PciConfigPorts.h"

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

}  // namespace sim
