// Port access: one IN or OUT instruction; only the low 16 bits select the port.

#include "IoLibArch.h"
#include "Library/DebugLib.h"
#include "Library/IoLib.h"

UINT8 EFIAPI IoRead8(UINTN Port) { return ArchPortIn8((UINT16)Port); }

UINT8 EFIAPI IoWrite8(UINTN Port, UINT8 Value) {
  ArchPortOut8((UINT16)Port, Value);
  return Value;
}

UINT32 EFIAPI IoRead32(UINTN Port) {
  ASSERT((Port & 3) == 0);
  return ArchPortIn32((UINT16)Port);
}

UINT32 EFIAPI IoWrite32(UINTN Port, UINT32 Value) {
  ASSERT((Port & 3) == 0);
  ArchPortOut32((UINT16)Port, Value);
  return Value;
}
