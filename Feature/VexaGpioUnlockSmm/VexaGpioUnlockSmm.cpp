// Keeps the chipset's GPIO configuration locked.
//
// At load the entry registers GpioUnlockSmiHandler for the GPIO-unlock SMI
// source.  Each time software clears the lock (bit 0 of PCI 0:31.0 register
// 0x4C) the chipset raises that SMI, and the handler sets the bit again.

#include "VexaGpioUnlockSmm.h"

#include "AutoGen.h"
#include "GpioLock.h"
#include "Library/DebugLib.h"
#include "Library/IoLib.h"
#include "Library/SmmServicesTableLib.h"

SMI_SOURCE_DISPATCH_PROTOCOL *mSmiSourceDispatch;

#if !defined(VEXA_WITHOUT_WINDOW_CHECK)
// The legacy configuration mechanism: a dword written to 0xCF8 chooses the
// register that 0xCFC-0xCFF reach.
#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
// A packed configuration address on bus 0 as 0xCF8 takes it: enable bit 31,
// bus in bits 16-23, device 11-15, function 8-10, dword register 2-7.
constexpr UINT32 LegacyConfigAddress(UINT32 PackedAddress) {
  return 0x80000000u | ((PackedAddress >> 20) & 0xFF) << 16 | ((PackedAddress >> 15) & 0x1F) << 11 |
         ((PackedAddress >> 12) & 0x7) << 8 | (PackedAddress & 0xFC);
}
static_assert(LegacyConfigAddress(GPIO_LOCK_REGISTER_OFFSET) == 0x8000F84C, "0:31.0 register 0x4C");
static_assert((GPIO_LOCK_REGISTER_OFFSET & 3) == 0, "the lock byte is the first byte of its dword, at 0xCFC");

// Sets the lock with a look at the chipset's window register first, for a
// board that names it: an attacker outside SMM can move or switch off the
// window, or put another device's memory where it was, and a handler that
// trusted the old place would read a set bit there and write nothing (or
// write into that device).  The window is used only while the register
// still says it decodes at this image's base; otherwise the lock is set
// through the legacy ports.  The interrupted code may be between its own
// 0xCF8 and 0xCFC accesses, so 0xCF8 is given back as it was found.
[[maybe_unused]] static VOID RelockCheckingTheWindow(UINTN LockAddress) {
  const UINT32 Interrupted = IoRead32(PCI_CONFIG_ADDRESS_PORT);
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, LegacyConfigAddress(PcdPciExpressBarRegister));
  UINT64 Bar = IoRead32(PCI_CONFIG_DATA_PORT);
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, LegacyConfigAddress(PcdPciExpressBarRegister + 4));
  Bar |= (UINT64)IoRead32(PCI_CONFIG_DATA_PORT) << 32;

  if ((Bar & PcdPciExpressBarMask) == (PcdPciExpressBaseAddress | 1)) {
    if ((MmioRead8(LockAddress) & GPIO_LOCK_BIT) == 0) {
      MmioOr8(LockAddress, GPIO_LOCK_BIT);
    }
  } else {
    // Bit 0 alone: the register's other bits keep what they hold.
    IoWrite32(PCI_CONFIG_ADDRESS_PORT, LegacyConfigAddress(GPIO_LOCK_REGISTER_OFFSET));
    const UINT8 Lock = IoRead8(PCI_CONFIG_DATA_PORT);
    if ((Lock & GPIO_LOCK_BIT) == 0) {
      IoWrite8(PCI_CONFIG_DATA_PORT, (UINT8)(Lock | GPIO_LOCK_BIT));
    }
  }
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, Interrupted);
}
#endif

EFI_STATUS EFIAPI GpioUnlockSmiHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                       UINTN *CommBufferSize) {
  (VOID) DispatchHandle;
  (VOID) Context;
  (VOID) CommBuffer;
  (VOID) CommBufferSize;

  // The handler forms the address itself: the window base is trusted data of
  // the module, and no check on this path may call out of the handler.
  UINTN Address = (UINTN)PcdPciExpressBaseAddress + GPIO_LOCK_REGISTER_OFFSET;
#if !defined(VEXA_WITHOUT_WINDOW_CHECK)
  if constexpr (PcdPciExpressBarCheck) {
    RelockCheckingTheWindow(Address);
    return EFI_SUCCESS;
  }
#endif
  if ((MmioRead8(Address) & GPIO_LOCK_BIT) == 0) {
    MmioOr8(Address, GPIO_LOCK_BIT);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI VexaGpioUnlockSmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;

  DEBUG(DEBUG_INFO, "VexaGpioUnlockSmmEntry() Start\n");

  // Only reachable outside SMM, where the SMM system table is never bound:
  // nothing can be registered there.
  if (gSmst == nullptr) {
    return EFI_UNSUPPORTED;
  }

  EFI_STATUS Status = gSmst->SmmLocateProtocol(&gSmiSourceDispatchProtocolGuid, nullptr, (VOID **)&mSmiSourceDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // A firmware that reports success without an interface gets no call through null.
  if (mSmiSourceDispatch == nullptr) {
    return EFI_NOT_FOUND;
  }

  UINT32 GpioUnlockSmiSource = GPIO_UNLOCK_SMI_SOURCE;
  EFI_HANDLE DispatchHandle = nullptr;
  Status =
      mSmiSourceDispatch->Register(mSmiSourceDispatch, GpioUnlockSmiHandler, &GpioUnlockSmiSource, &DispatchHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  DEBUG(DEBUG_INFO, "VexaGpioUnlockSmmEntry() Exit\n");
  return Status;
}
