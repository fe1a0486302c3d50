// The module's build settings and start-up list.
//
// Every build setting the module reads is fixed here, once.  Constants are
// constexpr in the image; the two settings that live in writable data
// (PcdPciExpressBaseAddress and PcdDebugPrintErrorLevel) are module variables
// defined in AutoGen.cpp.
#pragma once

#include "Uefi.h"

// Start-up.
constexpr UINT32 DriverRevision = 0;
constexpr UINT8 DriverUnloadImageCount = 0;

// Diagnostics.
constexpr UINT8 PcdDebugPropertyMask = 0x1F;
constexpr UINT32 PcdFixedDebugPrintErrorLevel = 0xFFFFFFFF;
constexpr UINT32 PcdMaximumAsciiStringLength = 0;
constexpr UINT32 PcdMaximumUnicodeStringLength = 0;
extern UINT32 PcdDebugPrintErrorLevel;

// Register access.
extern UINT64 PcdPciExpressBaseAddress;

// GUIDs held in the module's data.
extern EFI_GUID gEfiSmmBase2ProtocolGuid;
extern EFI_GUID gEfiLoadedImageProtocolGuid;
extern EFI_GUID gSmiSourceDispatchProtocolGuid;
