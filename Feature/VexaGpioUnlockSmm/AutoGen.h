// The module's build settings and start-up list.
//
// Every build setting the module reads is fixed here, once, from the board's
// settings (VexaBoardSettings.h, which the build generates from the board
// file; boards/default.board by default).  Constants are constexpr in the
// image; the two settings that live in writable data (PcdPciExpressBaseAddress
// and PcdDebugPrintErrorLevel) are module variables defined in AutoGen.cpp.
// A loader or a patch may change those two before the entry runs, by their
// addresses in the linker map, and the code reads them at run time: their
// definitions are marked used, which keeps them visible outside the
// whole-image optimisation, so it neither folds their values into the code
// nor drops them from the image and its map.
#pragma once

#include "Uefi.h"
#include "VexaBoardSettings.h"

// Start-up.
constexpr UINT32 DriverRevision = 0;
constexpr UINT8 DriverUnloadImageCount = 0;

// Diagnostics.  Host tests only: a test executable may compile its own copy
// of the debug library and the string helpers with other values, named by the
// VEXA_TEST_ macros; the module library and the image use the values below.
#if defined(VEXA_HOST_BUILD) && defined(VEXA_TEST_DEBUG_PROPERTY_MASK)
constexpr UINT8 PcdDebugPropertyMask = VEXA_TEST_DEBUG_PROPERTY_MASK;
#else
constexpr UINT8 PcdDebugPropertyMask = VEXA_BOARD_DEBUG_PROPERTY_MASK;
#endif
#if defined(VEXA_HOST_BUILD) && defined(VEXA_TEST_FIXED_DEBUG_PRINT_ERROR_LEVEL)
constexpr UINT32 PcdFixedDebugPrintErrorLevel = VEXA_TEST_FIXED_DEBUG_PRINT_ERROR_LEVEL;
#else
constexpr UINT32 PcdFixedDebugPrintErrorLevel = VEXA_BOARD_FIXED_DEBUG_PRINT_ERROR_LEVEL;
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
constexpr UINT64 PcdSerialRegisterBase = VEXA_BOARD_SERIAL_REGISTER_BASE;
constexpr BOOLEAN PcdSerialUseMmio = VEXA_BOARD_SERIAL_USE_MMIO;
// The PCI path to a PCI UART as 4-byte entries {Device, Function,
// PowerManagementRegister (UINT16, little-endian)}; 0xFF in Device ends it.
// The terminator alone means the fixed base above.
constexpr UINT8 PcdSerialPciDeviceInfo[] = {VEXA_BOARD_SERIAL_PCI_DEVICE_INFO};
constexpr UINT8 PcdSerialLineControl = VEXA_BOARD_SERIAL_LINE_CONTROL;
constexpr UINT8 PcdSerialFifoControl = VEXA_BOARD_SERIAL_FIFO_CONTROL;
constexpr UINT32 PcdSerialExtendedTxFifoSize = VEXA_BOARD_SERIAL_EXTENDED_TX_FIFO_SIZE;
constexpr BOOLEAN PcdSerialUseHardwareFlowControl = VEXA_BOARD_SERIAL_USE_HARDWARE_FLOW_CONTROL;
constexpr BOOLEAN PcdSerialDetectCable = VEXA_BOARD_SERIAL_DETECT_CABLE;
constexpr UINT32 PcdSerialBaudRate = VEXA_BOARD_SERIAL_BAUD_RATE;
constexpr UINT32 PcdSerialClockRate = VEXA_BOARD_SERIAL_CLOCK_RATE;

// Register access.
extern UINT64 PcdPciExpressBaseAddress;
// The window check, a board option: the chipset register that holds the
// window's base (a configuration address on bus 0, packed as the PCI Express
// library packs them) and the bits of it that must read as the base with
// bit 0, decoding, set.  Without it the handler trusts the window.
constexpr BOOLEAN PcdPciExpressBarCheck = VEXA_BOARD_PCI_EXPRESS_BAR_CHECK;
constexpr UINT32 PcdPciExpressBarRegister = VEXA_BOARD_PCI_EXPRESS_BAR_REGISTER;
constexpr UINT64 PcdPciExpressBarMask = VEXA_BOARD_PCI_EXPRESS_BAR_MASK;

// Legacy devices the console's platform hook opens: the LPC bridge's decode
// dword, and the Super I/O's index port (its data port follows; 0: none).
constexpr UINT32 PcdLegacyIoDecode = VEXA_BOARD_LEGACY_IO_DECODE;
constexpr UINT16 PcdSuperIoIndexPort = VEXA_BOARD_SUPER_IO_INDEX_PORT;

// GUIDs held in the module's data.
extern EFI_GUID gEfiSmmBase2ProtocolGuid;
extern EFI_GUID gEfiLoadedImageProtocolGuid;
extern EFI_GUID gSmiSourceDispatchProtocolGuid;
