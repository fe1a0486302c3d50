#include "sim/Cmos.h"

namespace sim {

uint32_t Cmos::Read(Space, uint64_t offset, int) {
  if (offset == 0) return 0xFF;
  return batteryFailed ? 0xFF : ram_[index_];
}

void Cmos::Write(Space, uint64_t offset, int, uint32_t value) {
  if (offset == 0) {
    index_ = value & 0x7F;
    nmiMasked_ = (value & kNmiDisable) != 0;
  } else if (!batteryFailed) {
    ram_[index_] = static_cast<uint8_t>(value);
  }
}

std::string Cmos::RegisterName(Space, uint64_t offset, Dir) const { return offset == 0 ? "INDEX" : "DATA"; }

}  // namespace sim
