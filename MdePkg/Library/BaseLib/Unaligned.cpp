// Little-endian reads from addresses of any alignment.

#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

UINT16 EFIAPI ReadUnaligned16(const UINT16 *Buffer) {
  ASSERT(Buffer != NULL);
  if (Buffer == nullptr) {
    return 0;
  }
  const UINT8 *Bytes = (const UINT8 *)Buffer;
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}

UINT32 EFIAPI ReadUnaligned32(const UINT32 *Buffer) {
  ASSERT(Buffer != NULL);
  if (Buffer == nullptr) {
    return 0;
  }
  const UINT8 *Bytes = (const UINT8 *)Buffer;
  return (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) | ((UINT32)Bytes[2] << 16) | ((UINT32)Bytes[3] << 24);
}
