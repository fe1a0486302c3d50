// Port and memory-mapped register access.
//
// Each operation makes exactly one access of its width.  Memory-mapped
// accesses are bracketed by MemoryFence; port accesses are single IN or OUT
// instructions.  The 16- and 32-bit operations assert their alignment.
#pragma once

#include "Base.h"

UINT8 EFIAPI IoRead8(UINTN Port);
UINT8 EFIAPI IoWrite8(UINTN Port, UINT8 Value);
UINT32 EFIAPI IoRead32(UINTN Port);
UINT32 EFIAPI IoWrite32(UINTN Port, UINT32 Value);

UINT8 EFIAPI MmioRead8(UINTN Address);
UINT8 EFIAPI MmioWrite8(UINTN Address, UINT8 Value);
UINT8 EFIAPI MmioOr8(UINTN Address, UINT8 OrData);
UINT16 EFIAPI MmioRead16(UINTN Address);
UINT16 EFIAPI MmioWrite16(UINTN Address, UINT16 Value);
UINT16 EFIAPI MmioOr16(UINTN Address, UINT16 OrData);
UINT16 EFIAPI MmioAnd16(UINTN Address, UINT16 AndData);
UINT32 EFIAPI MmioRead32(UINTN Address);
UINT32 EFIAPI MmioWrite32(UINTN Address, UINT32 Value);
