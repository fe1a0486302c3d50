// The UART code over a settings type (see SerialPortSettings.h).
//
// Every function looks the UART up anew and keeps nothing between calls: the
// UART's registers are the only state.  All waits are bounded (see
// SERIAL_PORT_MAX_POLLS); a wait that runs out ends the call with an error.
#pragma once

#include "Library/IoLib.h"
#include "Library/PciLib.h"
#include "SerialPort/SerialPortLib.h"
#include "SerialPort/SerialPortRegisters.h"

// The longest wait, in register polls.  The slowest drain the settings allow
// is a 64-byte FIFO plus the shift register at 9600 baud, 65 x 10 bits, about
// 68 ms; a UART register read takes about 1 us, so 1,000,000 polls (1 s or
// more, still 0.2 s at 0.2 us per poll) leaves a wide margin before a stuck
// transmitter or silent peer is given up on.
#define SERIAL_PORT_MAX_POLLS 1000000u

// A PCI path list: 4-byte entries ended by SERIAL_PCI_DEVICE_LIST_END.
#define SERIAL_PCI_DEVICE_LIST_END 0xFF
#define SERIAL_PCI_DEVICE_ENTRY_SIZE 4

constexpr bool SerialPciDeviceListIsValid(const UINT8 *List, UINTN Size) {
  for (UINTN Offset = 0; Offset < Size; Offset += SERIAL_PCI_DEVICE_ENTRY_SIZE) {
    if (List[Offset] == SERIAL_PCI_DEVICE_LIST_END) {
      return true;
    }
    if (Offset + SERIAL_PCI_DEVICE_ENTRY_SIZE > Size) {
      return false;
    }
    // The power-management register is a whole aligned word inside the 4 KB
    // configuration space.
    const UINTN PowerManagementRegister = List[Offset + 2] | List[Offset + 3] << 8;
    if (PowerManagementRegister > 0xFFE || (PowerManagementRegister & 1) != 0) {
      return false;
    }
  }
  return false;
}

template <typename Settings>
struct SerialPortLibT {
  static_assert(SerialPciDeviceListIsValid(Settings::PciDeviceInfo, sizeof Settings::PciDeviceInfo),
                "the PCI path list needs its terminator and power-management registers inside configuration space");
  static_assert((Settings::FifoControl & B_UART_FCR_WRITTEN) != B_UART_FCR_WRITTEN || Settings::ExtendedTxFifoSize != 0,
                "a 64-byte FIFO setting needs a non-zero burst size");

  static UINT8 ReadRegister(UINTN Base, UINTN Offset) {
    return Settings::UseMmio ? MmioRead8(Base + Offset) : IoRead8(Base + Offset);
  }

  static UINT8 WriteRegister(UINTN Base, UINTN Offset, UINT8 Value) {
    return Settings::UseMmio ? MmioWrite8(Base + Offset, Value) : IoWrite8(Base + Offset, Value);
  }

  static UINT8 EntryDevice(UINTN Index) { return Settings::PciDeviceInfo[Index * SERIAL_PCI_DEVICE_ENTRY_SIZE]; }
  static UINT8 EntryFunction(UINTN Index) { return Settings::PciDeviceInfo[Index * SERIAL_PCI_DEVICE_ENTRY_SIZE + 1]; }
  static UINT16 EntryPowerManagementRegister(UINTN Index) {
    return (UINT16)(Settings::PciDeviceInfo[Index * SERIAL_PCI_DEVICE_ENTRY_SIZE + 2] |
                    Settings::PciDeviceInfo[Index * SERIAL_PCI_DEVICE_ENTRY_SIZE + 3] << 8);
  }
  static BOOLEAN IsBridge(UINTN Index) { return EntryDevice(Index + 1) != SERIAL_PCI_DEVICE_LIST_END; }
  static UINTN EntryAddress(UINTN Bus, UINTN Index) {
    return PCI_LIB_ADDRESS(Bus, EntryDevice(Index), EntryFunction(Index), 0);
  }

  static UINT16 DecodeEnable() { return Settings::UseMmio ? EFI_PCI_COMMAND_MEMORY_SPACE : EFI_PCI_COMMAND_IO_SPACE; }

  // Puts the function in D0 when its power-management register says it is
  // not; returns TRUE when it did.
  static BOOLEAN WakeToD0(UINTN Address, UINTN Index) {
    const UINT16 PowerManagementRegister = EntryPowerManagementRegister(Index);
    if (PowerManagementRegister == 0 || (PciRead16(Address + PowerManagementRegister) & B_PCI_POWER_STATE) == 0) {
      return FALSE;
    }
    PciAnd16(Address + PowerManagementRegister, (UINT16)~B_PCI_POWER_STATE);
    return TRUE;
  }

  // Reads a bridge's I/O base or limit in 4 KB units.
  static UINT32 BridgeIoWindowEnd(UINTN Address, UINTN LowOffset, UINTN UpperOffset) {
    const UINT8 Low = PciRead8(Address + LowOffset);
    UINT32 Value = (UINT32)(Low >> 4);
    if ((Low & B_PCI_BRIDGE_IO_32) != 0) {
      Value |= (UINT32)PciRead16(Address + UpperOffset) << 4;
    }
    return Value;
  }

  // The address windows a bridge path narrows down: memory in the bridge
  // registers' form (address bits 31-20 in bits 15-4), I/O in 4 KB units.
  struct Windows {
    UINT16 MemoryBase = 0x0000;
    UINT16 MemoryLimit = B_PCI_BRIDGE_MEMORY_MASK;
    UINT32 IoBase = 0x0;
    UINT32 IoLimit = 0xF;  // 64 KB of port space before any 32-bit bridge
  };

  // Checks one bridge's buses and narrows the windows to its own; FALSE when
  // the bridge is misconfigured or its window leaves the one above it.
  static BOOLEAN NarrowToBridge(UINTN Address, Windows &W, UINTN &Bus) {
    const UINT8 SecondaryBus = PciRead8(Address + PCI_BRIDGE_SECONDARY_BUS_OFFSET);
    const UINT8 SubordinateBus = PciRead8(Address + PCI_BRIDGE_SUBORDINATE_BUS_OFFSET);
    if (SecondaryBus == 0 || SecondaryBus > SubordinateBus) {
      return FALSE;
    }
    Bus = SecondaryBus;

    if (Settings::UseMmio) {
      const UINT16 Limit = PciRead16(Address + PCI_BRIDGE_MEMORY_LIMIT_OFFSET) & B_PCI_BRIDGE_MEMORY_MASK;
      const UINT16 Base = PciRead16(Address + PCI_BRIDGE_MEMORY_BASE_OFFSET) & B_PCI_BRIDGE_MEMORY_MASK;
      if (Limit < Base || Base < W.MemoryBase || Base > W.MemoryLimit || Limit > W.MemoryLimit) {
        return FALSE;
      }
      W.MemoryBase = Base;
      W.MemoryLimit = Limit;
    } else {
      const UINT32 Limit = BridgeIoWindowEnd(Address, PCI_BRIDGE_IO_LIMIT_OFFSET, PCI_BRIDGE_IO_LIMIT_UPPER_OFFSET);
      const UINT32 Base = BridgeIoWindowEnd(Address, PCI_BRIDGE_IO_BASE_OFFSET, PCI_BRIDGE_IO_BASE_UPPER_OFFSET);
      if (Limit < Base || Base < W.IoBase || Base > W.IoLimit || Limit > W.IoLimit) {
        return FALSE;
      }
      W.IoBase = Base;
      W.IoLimit = Limit;
    }
    return TRUE;
  }

  // The configuration address of the UART's first BAR of the wanted kind
  // (each dword on its own, so the upper half of a 64-bit BAR is a slot too);
  // 0 when none fits.
  static UINTN FindUartBar(UINTN UartAddress) {
    for (UINTN Bar = 0; Bar < PCI_MAX_BAR; Bar++) {
      const UINTN Address = UartAddress + PCI_BASE_ADDRESSREG_OFFSET + Bar * 4;
      const BOOLEAN IsIoBar = (PciRead32(Address) & B_PCI_BAR_IO_SPACE) != 0;
      if (IsIoBar != Settings::UseMmio) {
        return Address;
      }
    }
    return 0;
  }

  static BOOLEAN InsideWindow(UINT32 UartBase, const Windows &W) {
    if (Settings::UseMmio) {
      const UINT32 Window = (UartBase >> 16) & B_PCI_BRIDGE_MEMORY_MASK;
      return Window >= W.MemoryBase && Window <= W.MemoryLimit;
    }
    const UINT32 Window = UartBase >> 12;
    return Window >= W.IoBase && Window <= W.IoLimit;
  }

  // Makes the path decode: the UART first, then the bridges from bus 0 out.
  static VOID EnablePath(UINTN UartAddress, UINTN UartIndex, UINT32 UartBase) {
    PciOr16(UartAddress + PCI_COMMAND_OFFSET, DecodeEnable());
    if (WakeToD0(UartAddress, UartIndex)) {
      // Waking may have reset the UART: enable its FIFOs again, without clearing them.
      WriteRegister(UartBase, R_UART_FCR, (UINT8)(Settings::FifoControl & B_UART_FCR_WRITTEN));
    }
    UINTN Bus = 0;
    for (UINTN Index = 0; IsBridge(Index); Index++) {
      const UINTN Address = EntryAddress(Bus, Index);
      PciOr16(Address + PCI_COMMAND_OFFSET, DecodeEnable());
      WakeToD0(Address, Index);
      Bus = PciRead8(Address + PCI_BRIDGE_SECONDARY_BUS_OFFSET);
    }
  }

  // The fixed base, or the PCI UART's: walk the bridges, take the UART's BAR
  // (an empty one receives the fixed base), check it against the innermost
  // window, then make the path decode.  0 when any step fails; writes made
  // before the failure stay.
  static UINTN GetRegisterBase() {
    if (EntryDevice(0) == SERIAL_PCI_DEVICE_LIST_END) {
      return (UINTN)Settings::RegisterBase;
    }
    Windows W;
    UINTN Bus = 0;
    UINTN Index = 0;
    for (; IsBridge(Index); Index++) {
      if (!NarrowToBridge(EntryAddress(Bus, Index), W, Bus)) {
        return 0;
      }
    }
    const UINTN UartAddress = EntryAddress(Bus, Index);
    const UINTN BarAddress = FindUartBar(UartAddress);
    if (BarAddress == 0) {
      return 0;
    }
    const UINT32 BarMask = Settings::UseMmio ? B_PCI_BAR_MEMORY_ADDRESS_MASK : B_PCI_BAR_IO_ADDRESS_MASK;
    const UINT32 UartBase = SerialPortAssignPciRegister32(BarAddress, (UINT32)Settings::RegisterBase, BarMask);
    if (!InsideWindow(UartBase, W)) {
      return 0;
    }
    EnablePath(UartAddress, Index, UartBase);
    return (UINTN)UartBase;
  }

  static BOOLEAN Writable(UINTN Base) {
    if (!Settings::UseHardwareFlowControl) {
      return TRUE;
    }
    const UINT8 Status = ReadRegister(Base, R_UART_MSR) & (B_UART_MSR_DSR | B_UART_MSR_CTS);
    if (Settings::DetectCable) {
      // A cable is present (DSR) and the peer is clear to send (CTS).
      return Status == (B_UART_MSR_DSR | B_UART_MSR_CTS);
    }
    // Without cable detection, only a peer that is there and not ready holds us back.
    return Status != B_UART_MSR_DSR;
  }

  // Polls LSR until all of Bits are set; FALSE when the bound runs out.
  static BOOLEAN WaitForLineStatus(UINTN Base, UINT8 Bits) {
    for (UINT32 Poll = 0; Poll < SERIAL_PORT_MAX_POLLS; Poll++) {
      if ((ReadRegister(Base, R_UART_LSR) & Bits) == Bits) {
        return TRUE;
      }
    }
    return FALSE;
  }

  // Polls flow control until it lets the next byte go; FALSE when the bound runs out.
  static BOOLEAN WaitForWritable(UINTN Base) {
    for (UINT32 Poll = 0; Poll < SERIAL_PORT_MAX_POLLS; Poll++) {
      if (Writable(Base)) {
        return TRUE;
      }
    }
    return FALSE;
  }

  static UINTN SelectedDivisor() {
    // Indexed by CMOS bits 1-2.
    static constexpr UINT32 BaudRates[] = {115200, 57600, 19200, 9600};
    IoWrite8(CMOS_INDEX_PORT, CMOS_SERIAL_BAUD_INDEX);
    const UINT8 Selector = IoRead8(CMOS_DATA_PORT) & B_CMOS_SERIAL_BAUD_SELECT;
    return SERIAL_BASE_BAUD / BaudRates[Selector >> 1];
  }

  static RETURN_STATUS Initialize() {
    const RETURN_STATUS Status = Settings::PlatformHook();
    if (RETURN_ERROR(Status)) {
      return Status;
    }
    const UINTN Base = GetRegisterBase();
    if (Base == 0) {
      return EFI_DEVICE_ERROR;
    }

    // Already set up: the configured line format at the rate CMOS selects.
    BOOLEAN Initialized = TRUE;
    if ((ReadRegister(Base, R_UART_LCR) & B_UART_LCR_FORMAT) != (Settings::LineControl & B_UART_LCR_FORMAT)) {
      Initialized = FALSE;
    }
    WriteRegister(Base, R_UART_LCR, (UINT8)(ReadRegister(Base, R_UART_LCR) | B_UART_LCR_DLAB));
    UINTN CurrentDivisor = (UINTN)ReadRegister(Base, R_UART_BAUD_HIGH) << 8;
    CurrentDivisor |= ReadRegister(Base, R_UART_BAUD_LOW);
    WriteRegister(Base, R_UART_LCR, (UINT8)(ReadRegister(Base, R_UART_LCR) & ~B_UART_LCR_DLAB));

    const UINTN Divisor = SelectedDivisor();
    if (CurrentDivisor != Divisor) {
      Initialized = FALSE;
    }
    if (Initialized) {
      return EFI_SUCCESS;
    }

    // Let what the UART holds drain before the rate changes under it.
    if (!WaitForLineStatus(Base, B_UART_LSR_TXRDY | B_UART_LSR_TEMT)) {
      return EFI_DEVICE_ERROR;
    }
    WriteRegister(Base, R_UART_LCR, B_UART_LCR_DLAB);
    WriteRegister(Base, R_UART_BAUD_HIGH, (UINT8)(Divisor >> 8));
    WriteRegister(Base, R_UART_BAUD_LOW, (UINT8)(Divisor & 0xFF));
    WriteRegister(Base, R_UART_LCR, (UINT8)(Settings::LineControl & B_UART_LCR_FORMAT));
    // FIFOs off, then on as configured; the clear bits are never written.
    WriteRegister(Base, R_UART_FCR, 0x00);
    WriteRegister(Base, R_UART_FCR, (UINT8)(Settings::FifoControl & B_UART_FCR_WRITTEN));
    WriteRegister(Base, R_UART_MCR, 0x00);
    return EFI_SUCCESS;
  }

  static UINTN BurstSize() {
    if ((Settings::FifoControl & B_UART_FCR_FIFOE) == 0) {
      return SERIAL_TX_BURST_NO_FIFO;
    }
    if ((Settings::FifoControl & B_UART_FCR_FIFO64) != 0) {
      return Settings::ExtendedTxFifoSize;
    }
    return SERIAL_TX_BURST_FIFO;
  }

  static UINTN Write(const UINT8 *Buffer, UINTN NumberOfBytes) {
    if (Buffer == nullptr) {
      return 0;
    }
    UINTN Base = GetRegisterBase();
    if (Base == 0) {
      return 0;
    }

    if (NumberOfBytes == 0) {
      // Flush: the transmitter drained and the peer ready.
      if (WaitForLineStatus(Base, B_UART_LSR_TXRDY | B_UART_LSR_TEMT)) {
        WaitForWritable(Base);
      }
      return 0;
    }

    const UINTN Burst = BurstSize();
    const UINT8 *Next = Buffer;
    UINTN Remaining = NumberOfBytes;
    while (Remaining > 0) {
      // A burst of more than one byte needs the FIFOs on; a single byte fits
      // the holding register.  A path that has stopped decoding gives no base
      // and ends the write too.
      Base = GetRegisterBase();
      if (Base == 0) {
        return 0;
      }
      if (Burst > 1 && (ReadRegister(Base, R_UART_IIR) & B_UART_IIR_FIFOE) == 0) {
        return 0;
      }
      if (!WaitForLineStatus(Base, B_UART_LSR_TEMT)) {
        return 0;
      }
      for (UINTN Count = 0; Count < Burst && Remaining > 0; Count++) {
        if (!WaitForWritable(Base)) {
          return 0;
        }
        WriteRegister(Base, R_UART_TXBUF, *Next);
        Next++;
        Remaining--;
      }
    }
    return NumberOfBytes;
  }
};
