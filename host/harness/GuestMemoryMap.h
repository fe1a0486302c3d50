// Where the harness puts things in the emulated machine (flat, physical =
// virtual).
#pragma once

#include <cstdint>

namespace harness {

constexpr uint64_t kBootServicesBase = 0x00100000;  // boot-services data: system table, boot services, ...
constexpr uint64_t kBootServicesSize = 0x00010000;
constexpr uint64_t kThunkBase = 0x00110000;  // one `ret` per firmware service; the harness acts on arrival
constexpr uint64_t kThunkStride = 16;        // bytes between two thunks
constexpr uint64_t kThunkSize = 0x1000;
constexpr uint64_t kSmramBase = 0x7F000000;  // SMRAM: SMST, the dispatcher's interface, the image, the stack
constexpr uint64_t kSmramSize = 0x00400000;
constexpr uint64_t kImageBase = 0x7F100000;
constexpr uint64_t kStackTop = kSmramBase + kSmramSize;
constexpr uint64_t kStackSize = 0x00010000;
// Memory from here up that the harness has not mapped is device space: a
// page there is mapped on first touch and reaches the bus (only during the
// boot; the handler touches nothing outside its bounds).  Below it, an
// unmapped access is a fault.
constexpr uint64_t kDeviceSpaceFirst = 0x80000000;
constexpr uint64_t kDeviceSpaceEnd = uint64_t{1} << 40;

inline bool Overlaps(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) { return a < b + bSize && b < a + aSize; }
inline bool Within(uint64_t a, uint64_t aSize, uint64_t first, uint64_t size) {
  return a >= first && aSize <= size && a - first <= size - aSize;
}

}  // namespace harness
