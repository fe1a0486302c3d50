#include "sim/HostBridge.h"

namespace sim {

HostBridge::HostBridge(std::function<void()> windowMoved)
    : PciFunction("MCH", 0x8086, 0x29C0), windowMoved_(std::move(windowMoved)) {}

std::string HostBridge::RegisterName(uint16_t reg) const {
  if (reg >= kPciExBar && reg < kPciExBar + 4) return "PCIEXBAR";
  if (reg >= kPciExBar + 4 && reg < kPciExBar + 8) return "PCIEXBAR[high]";
  return PciFunction::RegisterName(reg);
}

void HostBridge::SetPciExBar(uint64_t value) {
  SetDword(kPciExBar, static_cast<uint32_t>(value));
  SetDword(kPciExBar + 4, static_cast<uint32_t>(value >> 32));
  if (windowMoved_) windowMoved_();
}

uint64_t HostBridge::WindowSize() const { return uint64_t{256} << 20 >> ((PciExBar() >> 1) & 3); }

std::optional<uint64_t> HostBridge::WindowBase() const {
  const uint64_t bar = PciExBar();
  const uint64_t length = (bar >> 1) & 3;
  if ((bar & kEnable) == 0 || length == 3) return std::nullopt;
  const uint64_t baseMask = 0xFF0000000ull | (length >= 1 ? 0x08000000ull : 0) | (length == 2 ? 0x04000000ull : 0);
  return bar & baseMask;
}

void HostBridge::AfterWrite(uint16_t reg, int width) {
  if (reg + width > kPciExBar && reg < kPciExBar + 8 && windowMoved_) windowMoved_();
}

uint32_t MemoryBar::Read(Space, uint64_t offset, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const auto it = bytes_.find(offset + static_cast<uint64_t>(i));
    value |= static_cast<uint32_t>(it == bytes_.end() ? 0 : it->second) << (8 * i);
  }
  return value;
}

void MemoryBar::Write(Space, uint64_t offset, int width, uint32_t value) {
  for (int i = 0; i < width; ++i) bytes_[offset + static_cast<uint64_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace sim
