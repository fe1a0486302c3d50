// The 8-bit print front ends: plain 8-bit format, 8-bit output, text written.

#include "Library/PrintLib.h"

#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"

UINTN EFIAPI AsciiVSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, const CHAR8 *FormatString, VA_LIST Marker) {
  return FormatIntoBuffer(StartOfBuffer, BufferSize, 0, FormatString, Marker, nullptr);
}

UINTN EFIAPI AsciiSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, const CHAR8 *FormatString, ...) {
  VA_LIST Marker;
  VA_START(Marker, FormatString);
  const UINTN Count = AsciiVSPrint(StartOfBuffer, BufferSize, FormatString, Marker);
  VA_END(Marker);
  return Count;
}
