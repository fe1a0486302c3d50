// The SMM Base2 protocol: tells whether code runs in SMRAM and where the SMM system table is.
#pragma once

#include "Pi/PiSmmCis.h"

#define EFI_SMM_BASE2_PROTOCOL_GUID \
  { 0xF4CCBFB7, 0xF6E0, 0x47FD, { 0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91 } }

typedef struct _EFI_SMM_BASE2_PROTOCOL EFI_SMM_BASE2_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SMM_INSIDE_OUT2)(const EFI_SMM_BASE2_PROTOCOL *This, BOOLEAN *InSmram);
typedef EFI_STATUS(EFIAPI *EFI_SMM_GET_SMST_LOCATION2)(const EFI_SMM_BASE2_PROTOCOL *This,
                                                       EFI_SMM_SYSTEM_TABLE2 **Smst);

struct _EFI_SMM_BASE2_PROTOCOL {
  EFI_SMM_INSIDE_OUT2 InSmm;
  EFI_SMM_GET_SMST_LOCATION2 GetSmstLocation;
};
static_assert(OFFSET_OF(EFI_SMM_BASE2_PROTOCOL, InSmm) == 0, "InSmm is the first member");
static_assert(OFFSET_OF(EFI_SMM_BASE2_PROTOCOL, GetSmstLocation) == 8, "GetSmstLocation is the second member");

extern EFI_GUID gEfiSmmBase2ProtocolGuid;
