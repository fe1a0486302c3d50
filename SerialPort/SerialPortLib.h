// The debug UART library beyond its two public operations: register access,
// the UART's location, the flow-control test and the platform hook.
//
// The exported functions below work with the module's configured settings.
// SerialPortLibTemplate.h holds the same code over any settings type, for
// the other UART arrangements the library supports.
#pragma once

#include "Library/SerialPortLib.h"
#include "Uefi/UefiBaseType.h"

// One UART register, at Base + Offset, in I/O or memory space as configured.
UINT8 EFIAPI SerialPortReadRegister(UINTN Base, UINTN Offset);
// Writes Value to the register and returns Value.
UINT8 EFIAPI SerialPortWriteRegister(UINTN Base, UINTN Offset, UINT8 Value);

// Keeps a configuration register that already holds a value under Mask, or
// programs Value & Mask into an empty one; returns what the register holds.
UINT32 EFIAPI SerialPortAssignPciRegister32(UINTN Address, UINT32 Value, UINT32 Mask);

// The UART's base: the fixed base, or the BAR of a PCI UART whose path has
// just been checked and enabled.  0 when the path is unusable.
UINTN EFIAPI GetSerialRegisterBase(VOID);

// TRUE when flow control lets the next byte go.
BOOLEAN EFIAPI SerialPortWritable(UINTN Base);

// The platform hook: legacy decode, then the Super I/O.  Always EFI_SUCCESS.
RETURN_STATUS EFIAPI PlatformHookSerialPortInitialize(VOID);
VOID EFIAPI PlatformSerialPortSetup(VOID);
VOID EFIAPI InitializeSuperIo(VOID);
