// Where a board puts what the simulated platform models: the PCI Express
// window, the debug UART (an I/O port base, a memory address, or a PCI UART
// behind bridges), the Super I/O's ports (or none) and the CMOS byte that
// selects the board's console rate.
// A Platform built from a layout answers where an image built with the same
// board settings looks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/Pci.h"

namespace sim {

struct BoardLayout {
  std::string name = "default";
  uint64_t pciExpressBase = kPciExpressBase;
  bool uartMmio = false;
  uint64_t uartBase = 0x3F8;
  // The PCI path, bridges first and the UART last; empty: the UART sits at
  // uartBase directly.
  struct PciHop {
    uint8_t device, function;
    uint16_t powerManagementRegister;  // 0: none
  };
  std::vector<PciHop> pciPath;
  uint8_t cmosSerialBaud = 0x00;  // CMOS 0x6F as the board's set-up leaves it: selects the board's rate
  uint16_t superIoIndexPort = 0x370;  // the Super I/O's index port (data port next); 0: the board has none
  // The window check, when the board has one: the register that holds the
  // window's base (a packed configuration address on bus 0) and its mask.
  bool windowCheck = false;
  uint32_t barRegister = 0;
  uint64_t barMask = 0;

  uint64_t GpioLockAddress() const { return pciExpressBase + 0xF804C; }
};

// The layout of the board whose settings an image's map records ("NAME",
// "VALUE" pairs, as pe::MapFile::BoardSettings gives them).  False, with
// `error` set, when a setting the layout needs is missing or unreadable.
bool BoardLayoutFrom(const std::vector<std::pair<std::string, std::string>> &settings, BoardLayout &out,
                     std::string &error);

}  // namespace sim
