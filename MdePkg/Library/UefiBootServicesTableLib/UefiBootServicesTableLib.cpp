// Binds the image handle, the system table and the boot services.
//
// Each global is stored before it is tested, so a null value stays stored
// even when assertions are disabled.

#include "Library/UefiBootServicesTableLib.h"

#include "Library/DebugLib.h"

EFI_HANDLE gImageHandle;
EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;

EFI_STATUS EFIAPI UefiBootServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  ASSERT(gImageHandle != NULL);

  gST = SystemTable;
  ASSERT(gST != NULL);

  // A null system table leaves nothing to read the boot services from.
  gBS = (SystemTable != nullptr) ? SystemTable->BootServices : nullptr;
  ASSERT(gBS != NULL);

  return EFI_SUCCESS;
}
