// The image entry point and the loaded-image unload callback.

#include "AutoGen.h"
#include "Library/DebugLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "Protocol/LoadedImage.h"

EFI_STATUS EFIAPI DriverUnloadHandler(EFI_HANDLE ImageHandle) {
  EFI_STATUS Status = ProcessModuleUnloadList(ImageHandle);
  if (!EFI_ERROR(Status)) {
    ProcessLibraryDestructorList(ImageHandle, gST);
  }
  return Status;
}

// The load sequence; inlined into both callers, so that ModuleEntryPoint
// keeps only what the configured settings need.
static inline __attribute__((always_inline)) EFI_STATUS LoadSequence(UINT32 Revision, UINT8 UnloadImageCount,
                                                                     EFI_HANDLE ImageHandle,
                                                                     EFI_SYSTEM_TABLE *SystemTable) {
  // A revision of 0 accepts any firmware, and the table is not read at all.
  // Without a table there is no revision to accept.
  if (Revision != 0) {
    if (SystemTable == nullptr || SystemTable->Hdr.Revision < Revision) {
      return EFI_INCOMPATIBLE_VERSION;
    }
  }

  ProcessLibraryConstructorList(ImageHandle, SystemTable);

  if (UnloadImageCount != 0) {
    EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
    EFI_STATUS Status = EFI_NOT_FOUND;
    if (gBS != nullptr) {
      Status = gBS->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage);
    }
    ASSERT_EFI_ERROR(Status);
    // After a failure the report is all there is: no record to write into.
    if (!EFI_ERROR(Status) && LoadedImage != nullptr) {
      LoadedImage->Unload = DriverUnloadHandler;
    }
  }

  EFI_STATUS Status = ProcessModuleEntryPointList(ImageHandle, SystemTable);
  if (EFI_ERROR(Status)) {
    ProcessLibraryDestructorList(ImageHandle, SystemTable);
  }
  return Status;
}

EFI_STATUS EFIAPI DriverEntryPointWithSettings(UINT32 Revision, UINT8 UnloadImageCount, EFI_HANDLE ImageHandle,
                                               EFI_SYSTEM_TABLE *SystemTable) {
  return LoadSequence(Revision, UnloadImageCount, ImageHandle, SystemTable);
}

EFI_STATUS EFIAPI ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return LoadSequence(DriverRevision, DriverUnloadImageCount, ImageHandle, SystemTable);
}
