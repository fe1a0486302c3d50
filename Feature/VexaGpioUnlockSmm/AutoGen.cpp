// The module's data (the settings in writable data, kept in the file's bytes
// even at 0 so that a build tool can patch them by the map; and its GUIDs) and
// its start-up list: the constructors in order, the entry under a jump context.

// The start-up list reports under its own name, as generated code does.
#undef VEXA_SOURCE_FILE
#define VEXA_SOURCE_FILE "AutoGen"

#include "AutoGen.h"

#include "Library/DebugLib.h"
#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"
#include "SmiSourceDispatch.h"
#include "VexaGpioUnlockSmm.h"

__attribute__((used, section(".data"))) UINT32 PcdDebugPrintErrorLevel = VEXA_BOARD_DEBUG_PRINT_ERROR_LEVEL;
__attribute__((used, section(".data"))) UINT64 PcdPciExpressBaseAddress = VEXA_BOARD_PCI_EXPRESS_BASE_ADDRESS;

EFI_GUID gEfiSmmBase2ProtocolGuid = EFI_SMM_BASE2_PROTOCOL_GUID;
EFI_GUID gEfiLoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID gSmiSourceDispatchProtocolGuid = SMI_SOURCE_DISPATCH_PROTOCOL_GUID;

// Marks the code after a jump that never returns; reported should it ever run.
// clang-format off
#define UNREACHABLE_AFTER_JUMP() ASSERT(((BOOLEAN)(0==1)))
// clang-format on

alignas(JUMP_CONTEXT_ALIGNMENT) JumpContext mJumpContext;
EFI_STATUS mDriverEntryPointStatus;

VOID EFIAPI ProcessLibraryConstructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_STATUS Status;

  // The debug UART first, so that reports from the later constructors reach it.
  Status = DebugSerialPortConstructor();
  ASSERT_EFI_ERROR(Status);

  Status = UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  ASSERT_EFI_ERROR(Status);

  Status = SmmServicesTableLibConstructor(ImageHandle, SystemTable);
  ASSERT_EFI_ERROR(Status);
}

// No library of this module has a destructor.
VOID EFIAPI ProcessLibraryDestructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  mDriverEntryPointStatus = EFI_LOAD_ERROR;

  if (SetJump(&mJumpContext) == 0) {
    ExitDriver(VexaGpioUnlockSmmEntry(ImageHandle, SystemTable));
    UNREACHABLE_AFTER_JUMP();
  }

  // Reached once, when ExitDriver's jump comes back here.
  return mDriverEntryPointStatus;
}

VOID EFIAPI ExitDriver(EFI_STATUS Status) {
  // A success already recorded outlives a later error; with a single entry
  // and the initial EFI_LOAD_ERROR, the entry's own status is recorded.
  if (!EFI_ERROR(Status) || EFI_ERROR(mDriverEntryPointStatus)) {
    mDriverEntryPointStatus = Status;
  }

  LongJump(&mJumpContext, (UINTN)-1);
  UNREACHABLE_AFTER_JUMP();
}

// The module has no unload function of its own.
EFI_STATUS EFIAPI ProcessModuleUnloadList(EFI_HANDLE ImageHandle) {
  (VOID) ImageHandle;
  return EFI_SUCCESS;
}
