#include "Options.h"

#include "Attacks.h"

namespace tool {

const char kUsage[] =
    "usage: vexa-platform [options]\n"
    "\n"
    "Boots VexaGpioUnlockSmm on the simulated platform (chipset, UART, CMOS, Super I/O,\n"
    "fake firmware tables), then lets an attacker clear the GPIO lock again and again.\n"
    "Prints the debug console as a terminal on the serial line shows it, every finding\n"
    "(a fault, a confinement violation, a breakpoint), the register trace if asked, and\n"
    "a summary.  Numbers are decimal, or hexadecimal with 0x.\n"
    "\n"
    "  --attempts N        unlock attempts by the attacker (default 10, 0 to 1000000)\n"
    "  --cmos BYTE         CMOS byte 0x6F; bits 1-2 pick the baud rate: 0x00 115200,\n"
    "                      0x02 57600, 0x04 19200, 0x06 9600 (default: the board's rate)\n"
    "  --print-level MASK  the module's print-level variable: 0x40 shows the entry's\n"
    "                      messages, 0x80000000 the status line an ASSERT_EFI_ERROR prints\n"
    "                      before its report (see --missing smm-base2), 0 only assertion\n"
    "                      reports (default: the image's own, its board's setting)\n"
    "  --superio LD2,LD3   activate bytes of Super I/O logical devices 2 and 3 at power-on,\n"
    "                      e.g. 0x01,0x00 when COM1 is already active (default 0x00,0x00)\n"
    "  --dead-uart         the UART's transmitter never empties: the console's bring-up\n"
    "                      gives up and start-up reports it with an assertion\n"
    "  --missing WHAT      the firmware lacks a protocol: smm-base2 or dispatcher\n"
    "  --attack NAME       the attacker's way in, one or several (comma-separated or\n"
    "                      repeated), each run for --attempts rounds and judged by name:\n"
    "                      clear (the default: clear the lock through the window),\n"
    "                      move-window (move the window through PCIEXBAR, then clear it\n"
    "                      there), fake-window (move it and put a framebuffer holding a\n"
    "                      set lock where it was), window-above-4g (move it 4 GiB up\n"
    "                      through PCIEXBAR's high half), window-off (switch its decoding\n"
    "                      off and clear the lock through ports 0xCF8/0xCFC)\n"
    "  --trace             print every register access, decoded per device, with the SMIs\n"
    "                      and the attacker's accesses marked and repeated polls collapsed\n"
    "  --image PATH        the driver image to run (default: the one this build produced);\n"
    "                      its linker map (same name, .map) names where findings happened\n"
    "  --board FILE        (scripts/run.sh) build the image for the board described in\n"
    "                      FILE (see boards/default.board) and run it, on a platform\n"
    "                      laid out as the board is\n"
    "  --host              run the module's host build instead of the real image\n"
    "  --about             print the image, its size and the board settings it was built\n"
    "                      with (the platform is set up to match them), and stop\n"
    "  --qemu              run the real image in SMM on QEMU's q35 machine, against QEMU's\n"
    "                      chipset, UART and CMOS (the APM port stands in for the\n"
    "                      GPIO-unlock SMI); --attempts, --attack, --cmos, --print-level,\n"
    "                      --trace, --image and --cpus apply\n"
    "  --cpus N            with --qemu: CPUs in the machine (1 to 8, default 2); the guest\n"
    "                      starts them, relocates each one's SMBASE into SMRAM and has every\n"
    "                      SMI bring all of them into SMM; CPU 1 also attacks\n"
    "  --gdb[=wait|batch]  with --qemu: start QEMU paused under gdb, load the image's\n"
    "                      symbols (VexaGpioUnlockSmm.debug, beside it) where the guest\n"
    "                      loads it in SMRAM, and stop at --break; gdb runs in this\n"
    "                      terminal, or with =wait the command that attaches it from\n"
    "                      another terminal is printed, or with =batch it stops once,\n"
    "                      shows where, and lets the run go on\n"
    "  --break WHERE       where gdb stops: a function or FILE:LINE of the module\n"
    "                      (default: GpioUnlockSmiHandler; ModuleEntryPoint stops at load)\n"
    "  --help              this text\n"
    "\n"
    "Exit status:\n"
    "  0  the entry succeeded, every unlock was undone, and nothing was found\n"
    "  1  the entry failed, an unlock stayed undone, or a finding was made\n"
    "  2  the command line was wrong\n"
    "  3  the tool could not run (the image could not be read or loaded, or its map is\n"
    "     missing where --print-level needs it; with --qemu, QEMU could not be started)\n";

namespace {

// Decimal, or hexadecimal after an explicit "0x": a leading zero is not octal.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t &out) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 16) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    const uint64_t radix = hex ? 16 : 10;
    if (static_cast<uint64_t>(d) > max || v > (max - static_cast<uint64_t>(d)) / radix) return false;  // past max
    v = v * radix + static_cast<uint64_t>(d);
  }
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
    } else if (arg == "--about") {
      o.about = true;
    } else if (arg == "--host") {
      o.hostBuild = true;
    } else if (arg == "--qemu") {
      o.qemu = true;
    } else if (arg == "--dead-uart") {
      o.deadUart = true;
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--gdb" || arg == "--gdb=terminal") {
      o.gdb = Options::Gdb::Terminal;
    } else if (arg == "--gdb=wait") {
      o.gdb = Options::Gdb::Wait;
    } else if (arg == "--gdb=batch") {
      o.gdb = Options::Gdb::Batch;
    } else if (arg.rfind("--gdb=", 0) == 0) {
      error = "--gdb takes wait or batch (or nothing: gdb in this terminal), not '" + arg.substr(6) + "'";
      return std::nullopt;
    } else if (arg == "--break") {
      if (!value(o.breakAt)) return std::nullopt;
      if (o.breakAt.empty()) {
        error = "--break needs a function or FILE:LINE, not an empty one";
        return std::nullopt;
      }
    } else if (arg == "--image") {
      if (!value(o.imagePath)) return std::nullopt;
      if (o.imagePath.empty()) {
        error = "--image needs a path, not an empty one";
        return std::nullopt;
      }
    } else if (arg == "--attack") {
      if (!value(v) || !ParseAttacks(v, o.attacks, error)) {
        if (error.empty()) error = "--attack needs an attack's name";
        return std::nullopt;
      }
    } else if (arg == "--missing") {
      if (!value(v)) return std::nullopt;
      if (v == "smm-base2") {
        o.smmBase2Missing = true;
      } else if (v == "dispatcher") {
        o.dispatcherMissing = true;
      } else {
        error = "--missing takes smm-base2 or dispatcher, not '" + v + "'";
        return std::nullopt;
      }
    } else if (arg == "--attempts") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 1000000, n)) {
        error = "--attempts takes a whole number from 0 to 1000000, not '" + v + "'";
        return std::nullopt;
      }
      o.attempts = static_cast<int>(n);
    } else if (arg == "--cpus") {
      if (!value(v)) return std::nullopt;
      if (!ParseNumber(v, 8, n) || n == 0) {
        error = "--cpus takes a CPU count from 1 to 8, not '" + v + "'";
        return std::nullopt;
      }
      o.cpus = static_cast<int>(n);
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
    } else if (arg == "--board") {
      error = "--board is scripts/run.sh's (it builds the board's image first): run scripts/run.sh --board FILE, "
              "or give a built image with --image";
      return std::nullopt;
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return std::nullopt;
    }
  }
  if (o.qemu && (o.hostBuild || o.deadUart || o.superIoGiven || o.smmBase2Missing || o.dispatcherMissing)) {
    error =
        "--qemu runs the real image on QEMU's own devices and our guest's firmware tables; "
        "--host, --dead-uart, --superio and --missing do not apply there";
    return std::nullopt;
  }
  if (o.cpus && !o.qemu) {
    error = "--cpus applies to --qemu only: the simulated platform has one CPU";
    return std::nullopt;
  }
  if (o.hostBuild && !o.imagePath.empty()) {
    error = "--host runs the module's host build, not an image: --image does not apply to it";
    return std::nullopt;
  }
  if (o.about && o.qemu) {
    error = "--about prints the image and its board and stops; it runs nothing, on QEMU or elsewhere: "
            "leave out --qemu";
    return std::nullopt;
  }
  if ((o.gdb != Options::Gdb::Off || !o.breakAt.empty()) && !o.qemu) {
    error = "--gdb and --break apply to --qemu runs only";
    return std::nullopt;
  }
  if (!o.breakAt.empty() && o.gdb == Options::Gdb::Off) {
    error = "--break needs --gdb";
    return std::nullopt;
  }
  return o;
}

}  // namespace tool
