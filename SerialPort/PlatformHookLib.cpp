// The platform hook of the debug UART: opens the chipset's legacy I/O decode
// and sets up the Super I/O chip that holds the UART.  The board settings
// give the decode dword and the Super I/O's index port; a board with no
// Super I/O (PcdSuperIoIndexPort 0) gets the decode write alone.

#include "AutoGen.h"
#include "Library/IoLib.h"
#include "SerialPort/SerialPortLib.h"

// clang-format off
// Legacy decode of the LPC bridge (bus 0, device 31, function 0), registers
// 0x80-0x83, written as one dword through configuration mechanism #1.  It
// replaces the four registers; 0xCF8 keeps the address afterwards.
#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
#define LPC_DECODE_CONFIG_ADDRESS 0x8000F880  // enable, 0:31.0, register 0x80

// Super I/O configuration, ISA Plug and Play layout; reachable at any time,
// with no key sequence.
#define SUPER_IO_INDEX_PORT PcdSuperIoIndexPort
#define SUPER_IO_DATA_PORT (PcdSuperIoIndexPort + 1)
#define R_SIO_LOGICAL_DEVICE 0x07  // selects the device registers 0x30 and up address
#define R_SIO_ACTIVATE 0x30
#define   SIO_ACTIVE 0x01  // active only when the register reads exactly this
#define R_SIO_BASE_HIGH 0x60  // I/O base address, bits 8-15
#define R_SIO_BASE_LOW 0x61  // I/O base address, bits 0-7
#define R_SIO_IRQ 0x70  // interrupt request level
#define R_SIO_DEVICE_SPECIFIC 0xF0  // of logical device 0x11; bits 1-2 cleared here
#define SIO_DEVICE_11 0x11
#define SIO_SERIAL_A 0x02
#define SIO_SERIAL_B 0x03

// clang-format on

typedef struct {
  UINT8 Index;
  UINT8 AndMask;
  UINT8 OrValue;
} SUPER_IO_UPDATE_ENTRY;

typedef struct {
  UINT8 Index;
  UINT8 Value;
} SUPER_IO_REGISTER_ENTRY;

// clang-format off
// Always applied, each register read before it is written.
static const SUPER_IO_UPDATE_ENTRY mSuperIoUpdateTable[] = {
    {R_SIO_LOGICAL_DEVICE,  0x00, SIO_DEVICE_11},
    {R_SIO_BASE_HIGH,       0x00, 0x0C},        // base 0x0CB0
    {R_SIO_BASE_LOW,        0x00, 0xB0},
    {R_SIO_DEVICE_SPECIFIC, 0xF9, 0x00},        // clear bits 1-2, keep the others
    {R_SIO_ACTIVATE,        0xFE, SIO_ACTIVE},  // activate, keep bits 1-7
};

// The two serial ports, written only when neither is already active.
static const SUPER_IO_REGISTER_ENTRY mSuperIoSerialTable[] = {
    {R_SIO_LOGICAL_DEVICE, SIO_SERIAL_A},  // 0x3F8, IRQ 4
    {R_SIO_BASE_HIGH,      0x03},
    {R_SIO_BASE_LOW,       0xF8},
    {R_SIO_IRQ,            0x04},
    {R_SIO_ACTIVATE,       SIO_ACTIVE},
    {R_SIO_LOGICAL_DEVICE, SIO_SERIAL_B},  // 0x2F8, IRQ 3
    {R_SIO_BASE_HIGH,      0x02},
    {R_SIO_BASE_LOW,       0xF8},
    {R_SIO_IRQ,            0x03},
    {R_SIO_ACTIVATE,       SIO_ACTIVE},
};
// clang-format on

static UINT8 SuperIoRead(UINT8 Index) {
  IoWrite8(SUPER_IO_INDEX_PORT, Index);
  return IoRead8(SUPER_IO_DATA_PORT);
}

static VOID SuperIoWrite(UINT8 Index, UINT8 Value) {
  IoWrite8(SUPER_IO_INDEX_PORT, Index);
  IoWrite8(SUPER_IO_DATA_PORT, Value);
}

// Selects a logical device and returns its activate register.
static UINT8 SuperIoActivateByte(UINT8 LogicalDevice) {
  SuperIoWrite(R_SIO_LOGICAL_DEVICE, LogicalDevice);
  return SuperIoRead(R_SIO_ACTIVATE);
}

VOID EFIAPI InitializeSuperIo(VOID) {
  for (UINTN Row = 0; Row < sizeof mSuperIoUpdateTable / sizeof mSuperIoUpdateTable[0]; Row++) {
    const SUPER_IO_UPDATE_ENTRY *Entry = &mSuperIoUpdateTable[Row];
    IoWrite8(SUPER_IO_INDEX_PORT, Entry->Index);
    const UINT8 Value = IoRead8(SUPER_IO_DATA_PORT);
    IoWrite8(SUPER_IO_DATA_PORT, (UINT8)((Value & Entry->AndMask) | Entry->OrValue));
  }

  // Both devices are read before either is tested.
  const UINT8 SerialAActive = SuperIoActivateByte(SIO_SERIAL_A);
  const UINT8 SerialBActive = SuperIoActivateByte(SIO_SERIAL_B);
  if (SerialAActive == SIO_ACTIVE || SerialBActive == SIO_ACTIVE) {
    return;
  }
  for (UINTN Row = 0; Row < sizeof mSuperIoSerialTable / sizeof mSuperIoSerialTable[0]; Row++) {
    SuperIoWrite(mSuperIoSerialTable[Row].Index, mSuperIoSerialTable[Row].Value);
  }
}

VOID EFIAPI PlatformSerialPortSetup(VOID) {
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, LPC_DECODE_CONFIG_ADDRESS);
  IoWrite32(PCI_CONFIG_DATA_PORT, PcdLegacyIoDecode);
  if (PcdSuperIoIndexPort != 0) {
    InitializeSuperIo();
  }
}

RETURN_STATUS EFIAPI PlatformHookSerialPortInitialize(VOID) {
  PlatformSerialPortSetup();
  return EFI_SUCCESS;
}
