// The debug UART with the module's configured settings.

#include "SerialPort/SerialPortLib.h"

#include "SerialPort/SerialPortLibTemplate.h"
#include "SerialPort/SerialPortSettings.h"

typedef SerialPortLibT<ConfiguredSerialPortSettings> ConfiguredSerialPort;

UINT8 EFIAPI SerialPortReadRegister(UINTN Base, UINTN Offset) {
  return ConfiguredSerialPort::ReadRegister(Base, Offset);
}

UINT8 EFIAPI SerialPortWriteRegister(UINTN Base, UINTN Offset, UINT8 Value) {
  return ConfiguredSerialPort::WriteRegister(Base, Offset, Value);
}

UINT32 EFIAPI SerialPortAssignPciRegister32(UINTN Address, UINT32 Value, UINT32 Mask) {
  const UINT32 Current = PciRead32(Address) & Mask;
  if (Current != 0) {
    return Current;
  }
  return PciWrite32(Address, Value & Mask);
}

UINTN EFIAPI GetSerialRegisterBase(VOID) { return ConfiguredSerialPort::GetRegisterBase(); }

BOOLEAN EFIAPI SerialPortWritable(UINTN Base) { return ConfiguredSerialPort::Writable(Base); }

RETURN_STATUS EFIAPI SerialPortInitialize(VOID) { return ConfiguredSerialPort::Initialize(); }

UINTN EFIAPI SerialPortWrite(const UINT8 *Buffer, UINTN NumberOfBytes) {
  return ConfiguredSerialPort::Write(Buffer, NumberOfBytes);
}
