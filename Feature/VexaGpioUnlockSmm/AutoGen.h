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

// Diagnostics.  Host tests only: a test executable may compile its own copy
// of the debug library and the string helpers with other values, named by the
// VEXA_TEST_ macros; the module library and the image use the values below.
#if defined(VEXA_HOST_BUILD) && defined(VEXA_TEST_DEBUG_PROPERTY_MASK)
constexpr UINT8 PcdDebugPropertyMask = VEXA_TEST_DEBUG_PROPERTY_MASK;
#else
constexpr UINT8 PcdDebugPropertyMask = 0x1F;
#endif
#if defined(VEXA_HOST_BUILD) && defined(VEXA_TEST_FIXED_DEBUG_PRINT_ERROR_LEVEL)
constexpr UINT32 PcdFixedDebugPrintErrorLevel = VEXA_TEST_FIXED_DEBUG_PRINT_ERROR_LEVEL;
#else
constexpr UINT32 PcdFixedDebugPrintErrorLevel = 0xFFFFFFFF;
#endif
#if defined(VEXA_HOST_BUILD) && defined(VEXA_TEST_MAXIMUM_STRING_LENGTH)
constexpr UINT32 PcdMaximumAsciiStringLength = VEXA_TEST_MAXIMUM_STRING_LENGTH;
constexpr UINT32 PcdMaximumUnicodeStringLength = VEXA_TEST_MAXIMUM_STRING_LENGTH;
#else
constexpr UINT32 PcdMaximumAsciiStringLength = 0;
constexpr UINT32 PcdMaximumUnicodeStringLength = 0;
#endif
extern UINT32 PcdDebugPrintErrorLevel;

// Serial console.
constexpr UINT64 PcdSerialRegisterBase = 0x3F8;
constexpr BOOLEAN PcdSerialUseMmio = FALSE;
// The PCI path to a PCI UART as 4-byte entries {Device, Function,
// PowerManagementRegister (UINT16, little-endian)}; 0xFF in Device ends it.
// The terminator alone means the fixed base above.
constexpr UINT8 PcdSerialPciDeviceInfo[] = {0xFF, 0x00, 0x00, 0x00};
constexpr UINT8 PcdSerialLineControl = 0x03;
constexpr UINT8 PcdSerialFifoControl = 0x07;
constexpr UINT32 PcdSerialExtendedTxFifoSize = 64;
constexpr BOOLEAN PcdSerialUseHardwareFlowControl = FALSE;
constexpr BOOLEAN PcdSerialDetectCable = FALSE;
constexpr UINT32 PcdSerialBaudRate = 115200;
constexpr UINT32 PcdSerialClockRate = 1843200;

// Register access.
extern UINT64 PcdPciExpressBaseAddress;

// GUIDs held in the module's data.
extern EFI_GUID gEfiSmmBase2ProtocolGuid;
extern EFI_GUID gEfiLoadedImageProtocolGuid;
extern EFI_GUID gSmiSourceDispatchProtocolGuid;
