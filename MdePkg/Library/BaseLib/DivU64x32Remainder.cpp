// 64-by-32 unsigned division with remainder.

#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

// The module divides by 10 and 16 only (digits): those two are divisions by
// a constant, which become a multiplication or a shift instead of a divide.
UINT64 EFIAPI DivideU64ByU32(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  UINT64 Quotient;
  if (Divisor == 10) {
    Quotient = Dividend / 10;
  } else if (Divisor == 16) {
    Quotient = Dividend / 16;
  } else {
    Quotient = Dividend / Divisor;
  }
  if (Remainder != nullptr) {
    *Remainder = (UINT32)(Dividend - Quotient * Divisor);
  }
  return Quotient;
}

UINT64 EFIAPI DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  ASSERT(Divisor != 0);
  // When the report returns, a zero divisor yields quotient 0 and remainder 0
  // rather than a divide fault.
  if (Divisor == 0) {
    if (Remainder != nullptr) {
      *Remainder = 0;
    }
    return 0;
  }
  return DivideU64ByU32(Dividend, Divisor, Remainder);
}
