#include "Options.h"

#include <cerrno>
#include <cstdlib>

namespace tool {

const char kUsage[] =
    "usage: vexa-platform [options]\n"
    "\n"
    "Boots VexaGpioUnlockSmm on the simulated platform (chipset, UART, CMOS, Super I/O,\n"
    "fake firmware tables), then lets an attacker clear the GPIO lock again and again.\n"
    "Prints the debug console as a terminal on the serial line shows it, then a summary.\n"
    "\n"
    "  --attempts N        unlock attempts by the attacker (default 10, 0 to 1000000)\n"
    "  --cmos BYTE         CMOS byte 0x6F; bits 1-2 pick the baud rate: 0x00 115200,\n"
    "                      0x02 57600, 0x04 19200, 0x06 9600 (default 0x00)\n"
    "  --print-level MASK  the module's print-level variable, e.g. 0x40 for the entry's\n"
    "                      messages, 0x80000040 for status lines too (default 0)\n"
    "  --superio LD2,LD3   activate bytes of Super I/O logical devices 2 and 3 at power-on,\n"
    "                      e.g. 0x01,0x00 when COM1 is already active (default 0x00,0x00)\n"
    "  --dead-uart         the UART's transmitter never empties\n"
    "  --trace             print every register access, decoded per device\n"
    "  --image PATH        the driver image to run (default: the one this build produced)\n"
    "  --host              run the module's host build instead of the real image\n"
    "  --qemu              run the real image in SMM on QEMU's q35 machine (QEMU's chipset,\n"
    "                      UART and CMOS; the APM port stands in for the GPIO-unlock SMI);\n"
    "                      --attempts, --cmos, --print-level, --trace and --image apply\n"
    "  --help              this text\n";

namespace {

bool ParseNumber(const std::string &text, uint64_t max, uint64_t &out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string> &args, std::string &error) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto value = [&](std::string &out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    uint64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--host") {
      o.hostBuild = true;
    } else if (arg == "--qemu") {
      o.qemu = true;
    } else if (arg == "--dead-uart") {
      o.deadUart = true;
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--image") {
      if (!value(o.imagePath)) return std::nullopt;
    } else if (arg == "--attempts") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 1000000, n)) {
        error = "--attempts takes a whole number from 0 to 1000000, not '" + v + "'";
        return std::nullopt;
      }
      o.attempts = static_cast<int>(n);
    } else if (arg == "--cmos") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 0xFF, n)) {
        error = "--cmos takes a byte (0 to 0xFF), not '" + v + "'";
        return std::nullopt;
      }
      o.cmos = static_cast<uint8_t>(n);
    } else if (arg == "--print-level") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 0xFFFFFFFF, n)) {
        error = "--print-level takes a 32-bit mask, not '" + v + "'";
        return std::nullopt;
      }
      o.printLevel = static_cast<uint32_t>(n);
    } else if (arg == "--superio") {
      if (!value(v)) return std::nullopt;
      const size_t comma = v.find(',');
      uint64_t a = 0, b = 0;
      if (comma == std::string::npos || !ParseNumber(v.substr(0, comma), 0xFF, a) ||
          !ParseNumber(v.substr(comma + 1), 0xFF, b)) {
        error = "--superio takes two bytes, LD2,LD3 (e.g. 0x01,0x00), not '" + v + "'";
        return std::nullopt;
      }
      o.superIoDevice2 = static_cast<uint8_t>(a);
      o.superIoDevice3 = static_cast<uint8_t>(b);
      o.superIoGiven = true;
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return std::nullopt;
    }
  }
  if (o.qemu && (o.hostBuild || o.deadUart || o.superIoGiven)) {
    error = "--qemu runs the real image on QEMU's own devices; --host, --dead-uart and --superio do not apply there";
    return std::nullopt;
  }
  return o;
}

}  // namespace tool
