// PCI configuration access through the memory-mapped PCI Express window.
//
// Addresses are PCI_EXPRESS_LIB_ADDRESS values: bus << 20 | device << 15 |
// function << 12 | register, below 0x10000000.  An address with any of bits
// 28-63 set, or a 16- or 32-bit access whose bytes would run past the
// window's end, is reported and never reaches memory outside the window.
#pragma once

#include "Base.h"

#define PCI_EXPRESS_LIB_ADDRESS(Bus, Device, Function, Register) \
  ((((UINTN)(Bus) & 0xFF) << 20) | (((UINTN)(Device) & 0x1F) << 15) | (((UINTN)(Function) & 0x07) << 12) | \
   ((UINTN)(Register) & 0xFFF))

VOID *EFIAPI GetPciExpressBaseAddress(VOID);
UINT8 EFIAPI PciExpressRead8(UINTN Address);
UINT16 EFIAPI PciExpressRead16(UINTN Address);
UINT16 EFIAPI PciExpressOr16(UINTN Address, UINT16 OrData);
UINT16 EFIAPI PciExpressAnd16(UINTN Address, UINT16 AndData);
UINT32 EFIAPI PciExpressRead32(UINTN Address);
UINT32 EFIAPI PciExpressWrite32(UINTN Address, UINT32 Value);
