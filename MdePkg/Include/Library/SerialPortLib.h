// The debug UART: bring-up and polled transmit.
#pragma once

#include "Uefi/UefiBaseType.h"

RETURN_STATUS EFIAPI SerialPortInitialize(VOID);
UINTN EFIAPI SerialPortWrite(const UINT8 *Buffer, UINTN NumberOfBytes);
