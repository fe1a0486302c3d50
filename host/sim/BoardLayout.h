// Where a board puts what the simulated platform models: the PCI Express
// window, the debug UART (an I/O port base, a memory address, or a PCI UART
// behind bridges), the Super I/O's ports (or none) and the CMOS byte that
// selects the board's console rate.
// A Platform built from a layout answers where an image built with the same
// board settings looks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "GpioLock.h"
#include "sim/ConfiguredBoard.h"
#include "sim/Pci.h"

namespace sim {

struct PciHop {
  uint8_t device, function;
  uint16_t powerManagementRegister;  // 0: none
};

// The path a board's SerialPciDeviceInfo bytes give (4 a hop: device,
// function, power-management register low and high byte; device 0xFF ends).
std::vector<PciHop> PciPathFrom(const uint8_t *deviceInfo, size_t size);
inline constexpr uint8_t kConfiguredSerialPciDeviceInfo[] = {VEXA_BOARD_SERIAL_PCI_DEVICE_INFO};

// CMOS byte 0x6F's rate selector for `baud`, or 0xFF for a rate it cannot select.
constexpr uint8_t CmosBaudSelector(uint64_t baud) {
  return baud == 115200 ? 0x00 : baud == 57600 ? 0x02 : baud == 19200 ? 0x04 : baud == 9600 ? 0x06 : 0xFF;
}

// Default: the configured board, from its generated settings.
struct BoardLayout {
  std::string name = VEXA_BOARD_NAME;
  uint64_t pciExpressBase = kPciExpressBase;
  bool uartMmio = VEXA_BOARD_SERIAL_USE_MMIO;
  uint64_t uartBase = VEXA_BOARD_SERIAL_REGISTER_BASE;
  // The PCI path, bridges first and the UART last; empty: the UART sits at
  // uartBase directly.
  using PciHop = sim::PciHop;
  std::vector<PciHop> pciPath = PciPathFrom(kConfiguredSerialPciDeviceInfo, sizeof kConfiguredSerialPciDeviceInfo);
  // CMOS 0x6F as the board's set-up leaves it: selects the board's rate.
  uint8_t cmosSerialBaud = CmosBaudSelector(VEXA_BOARD_SERIAL_BAUD_RATE);
  uint16_t superIoIndexPort = VEXA_BOARD_SUPER_IO_INDEX_PORT;  // the Super I/O's index port (data port next); 0: none
  // The window check, when the board has one: the register that holds the
  // window's base (a packed configuration address on bus 0) and its mask.
  bool windowCheck = false;
  uint32_t barRegister = 0;
  uint64_t barMask = 0;

  uint64_t GpioLockAddress() const { return pciExpressBase + GPIO_LOCK_REGISTER_OFFSET; }
};

// The layout of the board whose settings an image's map records ("NAME",
// "VALUE" pairs, as pe::MapFile::BoardSettings gives them).  False, with
// `error` set, when a setting the layout needs is missing or unreadable.
bool BoardLayoutFrom(const std::vector<std::pair<std::string, std::string>> &settings, BoardLayout &out,
                     std::string &error);

}  // namespace sim
