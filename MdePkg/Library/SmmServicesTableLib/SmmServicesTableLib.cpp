// Locates SMM Base2 and, inside SMM, binds the SMM system table.
//
// The boot services are taken from the SystemTable argument, not from gBS.
// When SMM Base2 cannot be located the report is the only sign: the
// constructor then stops before calling through the missing interface, and
// gSmst stays null (the module entry refuses to run without it).

#include "Library/SmmServicesTableLib.h"

#include "AutoGen.h"
#include "Library/DebugLib.h"

EFI_SMM_SYSTEM_TABLE2 *gSmst;
EFI_SMM_BASE2_PROTOCOL *mInternalSmmBase2;

EFI_STATUS EFIAPI SmmServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;

  if (SystemTable == nullptr || SystemTable->BootServices == nullptr) {
    return EFI_SUCCESS;
  }

  EFI_STATUS Status =
      SystemTable->BootServices->LocateProtocol(&gEfiSmmBase2ProtocolGuid, nullptr, (VOID **)&mInternalSmmBase2);
  ASSERT_EFI_ERROR(Status);
  ASSERT(mInternalSmmBase2 != NULL);
  if (EFI_ERROR(Status) || mInternalSmmBase2 == nullptr) {
    return EFI_SUCCESS;
  }

  BOOLEAN InSmm = FALSE;
  mInternalSmmBase2->InSmm(mInternalSmmBase2, &InSmm);
  if (!InSmm) {
    return EFI_SUCCESS;
  }

  mInternalSmmBase2->GetSmstLocation(mInternalSmmBase2, &gSmst);
  ASSERT(gSmst != NULL);

  return EFI_SUCCESS;
}
