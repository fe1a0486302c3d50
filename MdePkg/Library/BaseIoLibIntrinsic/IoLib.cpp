// Memory-mapped register access: fence, one access of the stated width, fence.

#include "Library/IoLib.h"

#include "IoLibArch.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

UINT8 EFIAPI MmioRead8(UINTN Address) {
  MemoryFence();
  UINT8 Value = ArchLoad8(Address);
  MemoryFence();
  return Value;
}

UINT8 EFIAPI MmioWrite8(UINTN Address, UINT8 Value) {
  MemoryFence();
  ArchStore8(Address, Value);
  MemoryFence();
  return Value;
}

UINT8 EFIAPI MmioOr8(UINTN Address, UINT8 OrData) {
  return MmioWrite8(Address, (UINT8)(MmioRead8(Address) | OrData));
}

UINT16 EFIAPI MmioRead16(UINTN Address) {
  ASSERT((Address & 1) == 0);
  MemoryFence();
  UINT16 Value = ArchLoad16(Address);
  MemoryFence();
  return Value;
}

UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value) {
  ASSERT((Address & 1) == 0);
  MemoryFence();
  ArchStore16(Address, Value);
  MemoryFence();
  return Value;
}

UINT16 EFIAPI MmioOr16(UINTN Address, UINT16 OrData) {
  return MmioWrite16(Address, (UINT16)(MmioRead16(Address) | OrData));
}

UINT16 EFIAPI MmioAnd16(UINTN Address, UINT16 AndData) {
  return MmioWrite16(Address, (UINT16)(MmioRead16(Address) & AndData));
}

UINT32 EFIAPI MmioRead32(UINTN Address) {
  ASSERT((Address & 3) == 0);
  MemoryFence();
  UINT32 Value = ArchLoad32(Address);
  MemoryFence();
  return Value;
}

UINT32 EFIAPI MmioWrite32(UINTN Address, UINT32 Value) {
  ASSERT((Address & 3) == 0);
  MemoryFence();
  ArchStore32(Address, Value);
  MemoryFence();
  return Value;
}
