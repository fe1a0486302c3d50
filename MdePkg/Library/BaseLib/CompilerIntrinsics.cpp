// The two routines a compiler may call on its own in freestanding code: it
// lowers aggregate copies and clears to memcpy and memset.  Only the image
// needs them; the host build has its C library's.  Unreferenced, the linker
// drops them.

#ifndef VEXA_HOST_BUILD

#include "Base.h"

extern "C" void *memcpy(void *Destination, const void *Source, UINTN Length) {
  UINT8 *To = (UINT8 *)Destination;
  const UINT8 *From = (const UINT8 *)Source;
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

extern "C" void *memset(void *Buffer, int Value, UINTN Length) {
  UINT8 *To = (UINT8 *)Buffer;
  while (Length-- != 0) {
    *To++ = (UINT8)Value;
  }
  return Buffer;
}

#endif
