// The module's own entry and its GPIO-unlock SMI handler.
#pragma once

#include "SmiSourceDispatch.h"

extern SMI_SOURCE_DISPATCH_PROTOCOL *mSmiSourceDispatch;

EFI_STATUS EFIAPI VexaGpioUnlockSmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI GpioUnlockSmiHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                       UINTN *CommBufferSize);
