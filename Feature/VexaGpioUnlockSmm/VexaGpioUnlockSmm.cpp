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

EFI_STATUS EFIAPI GpioUnlockSmiHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                       UINTN *CommBufferSize) {
  (VOID) DispatchHandle;
  (VOID) Context;
  (VOID) CommBuffer;
  (VOID) CommBufferSize;

  // The handler forms the address itself: the window base is trusted data of
  // the module, and no check on this path may call out of the handler.
  UINTN Address = (UINTN)PcdPciExpressBaseAddress + GPIO_LOCK_REGISTER_OFFSET;
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
