#include "sim/Bus.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {
Bus *gCurrentBus = nullptr;

uint32_t AllOnes(int widthBits) { return widthBits == 32 ? 0xFFFFFFFFu : ((1u << widthBits) - 1u); }
}  // namespace

std::string Describe(const Access &a) {
  char text[96];
  const bool io = a.space == Space::Io;
  const bool read = a.dir == Dir::Read;
  std::snprintf(text, sizeof text, "%-3s %c%-2d 0x%0*llX %s 0x%0*X", io ? "io" : "mem", read ? 'r' : 'w', a.width,
                io ? 3 : 8, static_cast<unsigned long long>(a.address), read ? "->" : "<-", a.width / 4, a.value);
  return text;
}

std::string DescribeDecoded(const Access &a) {
  std::string text = Describe(a);
  if (a.device == nullptr) return text + "  (no device)";
  text += "  ";
  text += a.device->Name();
  if (!a.reg.empty()) text += "." + a.reg;
  return text;
}

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
  uint32_t value = AllOnes(widthBits);
  std::string reg;
  if (m != nullptr) {
    reg = m->device->RegisterName(space, address - m->first, Dir::Read);
    value = m->device->Read(space, address - m->first, widthBits / 8) & AllOnes(widthBits);
  }
  trace_.push_back({space, Dir::Read, widthBits, address, value, m ? m->device : nullptr, m ? address - m->first : 0,
                    std::move(reg)});
  Finish();
  return value;
}

void Bus::Write(Space space, uint64_t address, int widthBits, uint32_t value) {
  ++depth_;
  const Mapping *m = Find(space, address);
  std::string reg = m != nullptr ? m->device->RegisterName(space, address - m->first, Dir::Write) : std::string();
  trace_.push_back({space, Dir::Write, widthBits, address, value, m ? m->device : nullptr, m ? address - m->first : 0,
                    std::move(reg)});
  if (m != nullptr) m->device->Write(space, address - m->first, widthBits / 8, value & AllOnes(widthBits));
  Finish();
}

void Bus::Finish() {
  // Deliver side effects (an SMI) only once the outermost access is complete.
  if (--depth_ == 0 && afterAccess) afterAccess();
}

std::vector<Access> Bus::TraceOf(const Device *device) const {
  std::vector<Access> out;
  for (const Access &a : trace_)
    if (a.device == device) out.push_back(a);
  return out;
}

std::string TraceDifference(const std::vector<Access> &expected, const std::vector<Access> &actual) {
  if (expected == actual) return {};
  std::string out = "access traces differ (expected | actual):\n";
  const size_t n = std::max(expected.size(), actual.size());
  bool marked = false;
  for (size_t i = 0; i < n; ++i) {
    const std::string e = i < expected.size() ? Describe(expected[i]) : std::string("(none)");
    const std::string g = i < actual.size() ? DescribeDecoded(actual[i]) : std::string("(none)");
    const bool same = i < expected.size() && i < actual.size() && expected[i] == actual[i];
    char line[256];
    std::snprintf(line, sizeof line, "%s %4zu  %-34s | %s\n", (!same && !marked) ? ">>" : "  ", i, e.c_str(),
                  g.c_str());
    if (!same) marked = true;
    out += line;
  }
  return out;
}

}  // namespace sim
