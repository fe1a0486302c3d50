#include "harness/Confinement.h"

#include "harness/GuestMemoryMap.h"
#include "harness/HexText.h"

namespace harness {

const char *ViolationName(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::Callout:
      return "callout";
    case ViolationKind::Fetch:
      return "fetch";
    case ViolationKind::Data:
      return "data";
    case ViolationKind::Port:
      return "port";
    case ViolationKind::BootServicesPointer:
      return "boot-services pointer";
    case ViolationKind::Unmapped:
      return "unmapped";
    case ViolationKind::LockValue:
      return "lock value";
  }
  return "?";
}

std::optional<std::string> LockWriteBreach(std::optional<uint8_t> readBefore, uint32_t written) {
  if (!readBefore)
    return "handler wrote " + Hex(written) + " to the lock register without reading it first (its other bits are lost)";
  const uint32_t expected = *readBefore | 1u;
  if (written == expected) return std::nullopt;
  return "handler wrote " + Hex(written) + " to the lock register, which read " + Hex(*readBefore) +
         ": only bit 0 may change (" + Hex(expected) + ")";
}

std::optional<ViolationKind> CheckDeviceAccess(bool port, uint64_t address, int width, bool write,
                                               uint64_t lockAddress, std::string &what) {
  if (port) {
    what = std::string("handler ") + (write ? "wrote" : "read") + " port " + Hex(address);
    return ViolationKind::Port;
  }
  if (address == lockAddress && width == 8) return std::nullopt;
  what = std::string("handler ") + (write ? "wrote " : "read ") + std::to_string(width / 8) + " bytes at " +
         Hex(address);
  return ViolationKind::Data;
}

void Confinement::SetImage(uint64_t base, uint64_t size, std::vector<std::pair<uint64_t, uint64_t>> code) {
  imageBase_ = base;
  imageSize_ = size;
  code_ = std::move(code);
}

bool Confinement::InCode(uint64_t address, uint64_t size) const {
  for (const auto &r : code_)
    if (Within(address, size, r.first, r.second - r.first)) return true;
  return false;
}

std::optional<ViolationKind> Confinement::CheckData(uint64_t address, uint64_t size, bool write, uint64_t rip,
                                                    std::string &what) const {
  const bool allowed = Within(address, size, imageBase_, imageSize_) ||
                       Within(address, size, kStackTop - kStackSize, kStackSize) ||
                       (address == lockAddress_ && size == 1);
  if (!allowed) {
    what = std::string("handler ") + (write ? "wrote " : "read ") + std::to_string(size) + " bytes at " + Hex(address) +
           " (rip " + Hex(rip) + ")";
    return ViolationKind::Data;
  }
  if (!write)
    for (uint64_t slot : bootServicesSlots_)
      if (Overlaps(address, size, slot, 8)) {
        what = "handler read the boot-services pointer held at " + Hex(slot);
        return ViolationKind::BootServicesPointer;
      }
  return std::nullopt;
}

bool Confinement::PortAllowed(uint16_t port, int bytes, bool write, uint32_t value, uint32_t selected) {
  if (configAddresses_.empty()) return false;
  auto named = [this](uint32_t address) {
    for (uint32_t a : configAddresses_)
      if (a == address) return true;
    return false;
  };
  if (port == 0xCF8 && bytes == 4) {
    if (!write) {
      if (!cf8Found_) cf8Found_ = value;
      return true;
    }
    return named(value) || (cf8Found_ && value == *cf8Found_);
  }
  return port >= 0xCFC && port + bytes <= 0xD00 && named(selected);
}

}  // namespace harness
