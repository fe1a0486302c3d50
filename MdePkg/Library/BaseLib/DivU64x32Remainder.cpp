// 64-by-32 unsigned division with remainder.

#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

UINT64 EFIAPI DivideU64ByU32(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  if (Remainder != NULL) {
    *Remainder = (UINT32)(Dividend % Divisor);
  }
  return Dividend / Divisor;
}

UINT64 EFIAPI DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  ASSERT(Divisor != 0);
  // When the report returns, a zero divisor yields quotient 0 and remainder 0
  // rather than a divide fault.
  if (Divisor == 0) {
    if (Remainder != NULL) {
      *Remainder = 0;
    }
    return 0;
  }
  return DivideU64ByU32(Dividend, Divisor, Remainder);
}
