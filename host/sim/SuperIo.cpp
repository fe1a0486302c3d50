#include "sim/SuperIo.h"

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
  // The register reached depends on the index written before; the trace
  // shows that value on the preceding INDEX access.
  return offset == 0 ? "INDEX" : "DATA";
}

}  // namespace sim
