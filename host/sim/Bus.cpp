#include "sim/Bus.h"

#include <algorithm>

namespace sim {

namespace {
Bus *gCurrentBus = nullptr;

constexpr const char *kNoDevice = "(no device)";  // where an access nothing answered landed

uint32_t AllOnes(int widthBits) { return widthBits == 32 ? 0xFFFFFFFFu : ((1u << widthBits) - 1u); }
}  // namespace

Bus *Bus::Current() { return gCurrentBus; }
void Bus::SetCurrent(Bus *bus) { gCurrentBus = bus; }

void Bus::MapIo(uint16_t first, uint16_t last, Device *device) { mappings_.push_back({Space::Io, first, last, device}); }

void Bus::MapMem(uint64_t first, uint64_t last, Device *device) {
  mappings_.push_back({Space::Mem, first, last, device});
}

void Bus::Unmap(Device *device) {
  mappings_.erase(std::remove_if(mappings_.begin(), mappings_.end(),
                                 [device](const Mapping &m) { return m.device == device; }),
                  mappings_.end());
}

const Bus::Mapping *Bus::Find(Space space, uint64_t address) const {
  for (auto it = mappings_.rbegin(); it != mappings_.rend(); ++it) {
    if (it->space == space && address >= it->first && address <= it->last) return &*it;
  }
  return nullptr;
}

uint32_t Bus::Read(Space space, uint64_t address, int widthBits) {
  ++depth_;
  const Mapping *m = Find(space, address);
  Access a{space, Dir::Read, widthBits, address, AllOnes(widthBits), m ? m->device : nullptr,
           m ? address - m->first : 0, {}, {}};
  if (m == nullptr) {
    a.reg = kNoDevice;
  } else {
    if (Watched()) a.reg = m->device->RegisterName(space, a.offset, Dir::Read);
    a.value = m->device->Read(space, a.offset, widthBits / 8) & AllOnes(widthBits);
  }
  const uint32_t value = a.value;
  Finish(std::move(a));
  return value;
}

void Bus::Write(Space space, uint64_t address, int widthBits, uint32_t value) {
  ++depth_;
  const Mapping *m = Find(space, address);
  Access a{space, Dir::Write, widthBits, address, value, m ? m->device : nullptr, m ? address - m->first : 0, {}, {}};
  if (m == nullptr) {
    a.reg = kNoDevice;
  } else {
    if (Watched()) {
      a.reg = m->device->RegisterName(space, a.offset, Dir::Write);
      a.note = m->device->Note(space, a.offset, Dir::Write, value);
    }
    m->device->Write(space, a.offset, widthBits / 8, value & AllOnes(widthBits));
  }
  Finish(std::move(a));
}

void Bus::Finish(Access access) {
  if (onAccess) onAccess(access);
  if (recording) trace_.push_back(std::move(access));
  // Deliver side effects (an SMI) only once the outermost access is complete.
  if (--depth_ == 0 && afterAccess) afterAccess();
}

std::vector<Access> Bus::TraceOf(const Device *device) const {
  std::vector<Access> out;
  for (const Access &a : trace_)
    if (a.device == device) out.push_back(a);
  return out;
}

}  // namespace sim
