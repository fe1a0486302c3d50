// PCI configuration access through the memory-mapped PCI Express window.
//
// An address with any of bits 28-63 set would reach past the 256 MiB window,
// and so would a misaligned 16- or 32-bit access at the window's top whose
// last byte lies beyond its end (a dword read at 0x0FFFFFFD).  Either is
// reported with the range check's text, and then never accessed: a read gives
// all ones (what a read of an absent function gives) and a write is dropped.
// This holds whether or not assertions are enabled, so no access can touch
// memory outside the window.  Any other misaligned access is left to the
// memory-mapped operation's alignment check.

#include "Library/PciExpressLib.h"

#include "AutoGen.h"
#include "Library/DebugLib.h"
#include "Library/IoLib.h"

#define ASSERT_INVALID_PCI_ADDRESS(A) ASSERT(((A) & ~0xfffffff) == 0)

static BOOLEAN PciExpressAddressIsValid(UINTN Address) {
  ASSERT_INVALID_PCI_ADDRESS(Address);
  return (Address & ~(UINTN)0xfffffff) == 0;
}

// Both the first and the last byte of a Size-byte access lie in the window
// (checked, and reported, as one address); an access that wraps fails too.
static BOOLEAN PciExpressAccessIsValid(UINTN Address, UINTN Size) {
  return PciExpressAddressIsValid(Address | (Address + Size - 1));
}

VOID *EFIAPI GetPciExpressBaseAddress(VOID) { return (VOID *)(UINTN)PcdPciExpressBaseAddress; }

static UINTN WindowAddress(UINTN Address) { return (UINTN)GetPciExpressBaseAddress() + Address; }

UINT8 EFIAPI PciExpressRead8(UINTN Address) {
  if (!PciExpressAddressIsValid(Address)) {
    return 0xFF;
  }
  return MmioRead8(WindowAddress(Address));
}

UINT16 EFIAPI PciExpressRead16(UINTN Address) {
  if (!PciExpressAccessIsValid(Address, 2)) {
    return 0xFFFF;
  }
  return MmioRead16(WindowAddress(Address));
}

UINT16 EFIAPI PciExpressOr16(UINTN Address, UINT16 OrData) {
  if (!PciExpressAccessIsValid(Address, 2)) {
    return 0xFFFF;
  }
  return MmioOr16(WindowAddress(Address), OrData);
}

UINT16 EFIAPI PciExpressAnd16(UINTN Address, UINT16 AndData) {
  if (!PciExpressAccessIsValid(Address, 2)) {
    return 0xFFFF;
  }
  return MmioAnd16(WindowAddress(Address), AndData);
}

UINT32 EFIAPI PciExpressRead32(UINTN Address) {
  if (!PciExpressAccessIsValid(Address, 4)) {
    return 0xFFFFFFFF;
  }
  return MmioRead32(WindowAddress(Address));
}

UINT32 EFIAPI PciExpressWrite32(UINTN Address, UINT32 Value) {
  if (!PciExpressAccessIsValid(Address, 4)) {
    return Value;
  }
  return MmioWrite32(WindowAddress(Address), Value);
}
