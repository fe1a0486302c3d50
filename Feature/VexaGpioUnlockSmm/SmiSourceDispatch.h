// The chipset's SMI-source dispatch protocol.
//
// Register copies the 32-bit source code from the context it is given; from
// then on the dispatcher calls the handler each time that source fires.
#pragma once

#include "Uefi.h"

#define SMI_SOURCE_DISPATCH_PROTOCOL_GUID \
  { 0x8497455B, 0xB489, 0x4AC7, { 0xBD, 0x51, 0x78, 0xDF, 0x4E, 0x1F, 0x1A, 0xCD } }

// The GPIO-unlock SMI source.
#define GPIO_UNLOCK_SMI_SOURCE 48

typedef EFI_STATUS(EFIAPI *SMI_SOURCE_HANDLER)(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                               UINTN *CommBufferSize);

typedef struct _SMI_SOURCE_DISPATCH_PROTOCOL SMI_SOURCE_DISPATCH_PROTOCOL;

typedef EFI_STATUS(EFIAPI *SMI_SOURCE_REGISTER)(SMI_SOURCE_DISPATCH_PROTOCOL *This,
                                                SMI_SOURCE_HANDLER DispatchFunction, VOID *RegisterContext,
                                                EFI_HANDLE *DispatchHandle);
typedef EFI_STATUS(EFIAPI *SMI_SOURCE_UNREGISTER)(SMI_SOURCE_DISPATCH_PROTOCOL *This, EFI_HANDLE DispatchHandle);

struct _SMI_SOURCE_DISPATCH_PROTOCOL {
  SMI_SOURCE_REGISTER Register;
  SMI_SOURCE_UNREGISTER UnRegister;
};
static_assert(OFFSET_OF(SMI_SOURCE_DISPATCH_PROTOCOL, Register) == 0, "Register is the first member");

extern EFI_GUID gSmiSourceDispatchProtocolGuid;
