// Generic PCI configuration access, forwarded unchanged to the PCI Express window.

#include "Library/PciLib.h"

UINT8 EFIAPI PciRead8(UINTN Address) { return PciExpressRead8(Address); }
UINT16 EFIAPI PciRead16(UINTN Address) { return PciExpressRead16(Address); }
UINT16 EFIAPI PciOr16(UINTN Address, UINT16 OrData) { return PciExpressOr16(Address, OrData); }
UINT16 EFIAPI PciAnd16(UINTN Address, UINT16 AndData) { return PciExpressAnd16(Address, AndData); }
UINT32 EFIAPI PciRead32(UINTN Address) { return PciExpressRead32(Address); }
UINT32 EFIAPI PciWrite32(UINTN Address, UINT32 Value) { return PciExpressWrite32(Address, Value); }
