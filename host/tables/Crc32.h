// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320): the check in every
// firmware table's header, and the check the QEMU rig sends with the image
// and the guest verifies in SMRAM before loading.  Freestanding, so the
// guest includes it too.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tables {

inline uint32_t Crc32(const uint8_t *data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace tables
