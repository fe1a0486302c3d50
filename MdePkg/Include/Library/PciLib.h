// Generic PCI configuration access: each operation forwards to its PCI Express form.
#pragma once

#include "Library/PciExpressLib.h"

#define PCI_LIB_ADDRESS(Bus, Device, Function, Register) PCI_EXPRESS_LIB_ADDRESS(Bus, Device, Function, Register)

UINT8 EFIAPI PciRead8(UINTN Address);
UINT16 EFIAPI PciRead16(UINTN Address);
UINT16 EFIAPI PciOr16(UINTN Address, UINT16 OrData);
UINT16 EFIAPI PciAnd16(UINTN Address, UINT16 AndData);
UINT32 EFIAPI PciRead32(UINTN Address);
UINT32 EFIAPI PciWrite32(UINTN Address, UINT32 Value);
