#include "sim/SuperIo.h"

#include <cstdio>

namespace sim {

uint32_t SuperIo::Read(Space, uint64_t offset, int) {
  if (absent || (decoded && !decoded())) return 0xFF;
  return offset == 0 ? index_ : Target(index_);
}

void SuperIo::Write(Space, uint64_t offset, int, uint32_t value) {
  if (absent || (decoded && !decoded())) return;
  if (offset == 0) {
    index_ = static_cast<uint8_t>(value);
  } else {
    Target(index_) = static_cast<uint8_t>(value);
  }
}

std::string SuperIo::RegisterName(Space, uint64_t offset, Dir) const {
  // The data port reaches the register the index selected: a global one, or
  // one of the selected logical device.
  if (offset == 0) return "INDEX";
  char text[32];
  if (index_ < 0x30) {
    std::snprintf(text, sizeof text, "DATA[0x%02X]", index_);
  } else {
    std::snprintf(text, sizeof text, "DATA[LD%X:0x%02X]", global_[kLogicalDeviceSelect], index_);
  }
  return text;
}

}  // namespace sim
