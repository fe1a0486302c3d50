// The image entry point, the unload callback, and the start-up list the
// module's AutoGen provides for them.
#pragma once

#include "Library/BaseLib.h"
#include "Uefi.h"

// The image entry point the firmware calls when it loads the module.  Checks
// the firmware revision, runs the library constructors, installs the unload
// callback when configured, and returns the status of the module's entry.
extern "C" EFI_STATUS EFIAPI ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// ModuleEntryPoint's sequence for any start-up settings: ModuleEntryPoint
// runs it with the module's own (DriverRevision, DriverUnloadImageCount in
// AutoGen.h).  Separate so that the settings a platform may choose are
// testable without changing the image's.
EFI_STATUS EFIAPI DriverEntryPointWithSettings(UINT32 Revision, UINT8 UnloadImageCount, EFI_HANDLE ImageHandle,
                                               EFI_SYSTEM_TABLE *SystemTable);

// The loaded-image Unload callback: runs the unload list and, when that
// succeeds, the destructor list.
EFI_STATUS EFIAPI DriverUnloadHandler(EFI_HANDLE ImageHandle);

// The start-up list (AutoGen.cpp).
VOID EFIAPI ProcessLibraryConstructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI ProcessLibraryDestructorList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI ProcessModuleEntryPointList(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
[[noreturn]] VOID EFIAPI ExitDriver(EFI_STATUS Status);
EFI_STATUS EFIAPI ProcessModuleUnloadList(EFI_HANDLE ImageHandle);

// The context ProcessModuleEntryPointList runs the module's entry under, and
// the status ExitDriver records for it.
extern JumpContext mJumpContext;
extern EFI_STATUS mDriverEntryPointStatus;

// The debug library's constructor (BaseDebugLibSerialPort): brings up the
// debug UART.
EFI_STATUS EFIAPI DebugSerialPortConstructor(VOID);
