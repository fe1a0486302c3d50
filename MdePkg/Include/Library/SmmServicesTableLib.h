// The SMM system table, bound at start-up when the module runs inside SMM.
#pragma once

#include "Protocol/SmmBase2.h"

extern EFI_SMM_SYSTEM_TABLE2 *gSmst;
extern EFI_SMM_BASE2_PROTOCOL *mInternalSmmBase2;

EFI_STATUS EFIAPI SmmServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
