// Command line of the main-job tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Attack.h"

namespace tool {

// Exit statuses: what a firmware engineer's script can rely on.
enum ExitStatus : int {
  kExitDefended = 0,     // entry succeeded, every unlock undone, no finding
  kExitFailed = 1,       // the module or its handler failed, or a finding was made
  kExitUsage = 2,        // the command line was wrong
  kExitCouldNotRun = 3,  // the tool could not run (unreadable or unloadable image, missing map)
};

struct Options {
  bool help = false;
  bool hostBuild = false;              // run the module's host build instead of the real image
  bool qemu = false;                   // run the real image in SMM on QEMU's q35 machine
  std::string imagePath;               // the real image (default: the one this build produced)
  int attempts = 10;                   // unlock attempts by the attacker
  std::optional<uint8_t> cmos;         // CMOS byte 0x6F (bits 1-2 select the baud rate); default: the board's
  bool about = false;                  // print the image and the board it was built for, and stop
  std::optional<uint32_t> printLevel;  // the module's print-level variable (default: as the image has it)
  uint8_t superIoDevice2 = 0x00;       // activate bytes of the Super I/O's serial devices at power-on
  uint8_t superIoDevice3 = 0x00;
  bool superIoGiven = false;
  bool deadUart = false;           // a UART whose transmitter never empties
  bool smmBase2Missing = false;    // the firmware has no SMM Base2 protocol
  bool dispatcherMissing = false;  // the SMM protocol database has no SMI-source dispatcher
  bool trace = false;              // print every register access, decoded per device
  std::vector<attack::Kind> attacks;  // --attack, in order (none given: the plain clear)
  std::optional<int> cpus;         // with --qemu: CPUs in the machine, every one of them in SMM (1 to 8)
  // --qemu under gdb: gdb in this terminal, waiting for the user's own gdb, or a batch session.
  enum class Gdb { Off, Terminal, Wait, Batch };
  Gdb gdb = Gdb::Off;
  std::string breakAt;  // where gdb stops: a function or FILE:LINE of the module (default: the SMI handler)
};

// Parses argv; on a bad option returns nothing and sets `error`.  Numbers are
// decimal, or hexadecimal with an explicit 0x ("010" is ten).
std::optional<Options> ParseOptions(const std::vector<std::string> &args, std::string &error);

extern const char kUsage[];

}  // namespace tool
