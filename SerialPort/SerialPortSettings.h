// The settings the serial console is built with.
//
// The UART code is written once over a settings type (SerialPortLibTemplate.h).
// The image uses only ConfiguredSerialPortSettings, the build settings of
// AutoGen.h; another type with the same members describes another UART
// arrangement (memory-mapped, on PCI behind bridges, with flow control, with
// other FIFO settings, another platform hook).
#pragma once

#include "AutoGen.h"
#include "SerialPort/SerialPortLib.h"

struct ConfiguredSerialPortSettings {
  static constexpr UINT64 RegisterBase = PcdSerialRegisterBase;
  static constexpr BOOLEAN UseMmio = PcdSerialUseMmio;
  static constexpr const auto &PciDeviceInfo = PcdSerialPciDeviceInfo;
  static constexpr UINT8 LineControl = PcdSerialLineControl;
  static constexpr UINT8 FifoControl = PcdSerialFifoControl;
  static constexpr UINT32 ExtendedTxFifoSize = PcdSerialExtendedTxFifoSize;
  static constexpr BOOLEAN UseHardwareFlowControl = PcdSerialUseHardwareFlowControl;
  static constexpr BOOLEAN DetectCable = PcdSerialDetectCable;
  // Runs before bring-up touches the UART.
  static constexpr RETURN_STATUS(EFIAPI *PlatformHook)(VOID) = PlatformHookSerialPortInitialize;
};
