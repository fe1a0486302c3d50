// A gdb session on QEMU's gdbstub, with the driver's own symbols.
//
// The image is loaded into SMRAM by the guest's dispatcher, at an address
// only the guest knows, and its entry runs in the same SMI.  So the command
// file stops first at the dispatcher's DriverLoadedAt(base), called with the
// image in place and before its entry, loads the debug companion there
// (add-symbol-file ... -o base - ImageBase) and only then sets the user's
// breakpoint.  QEMU's breakpoints under TCG never write guest memory, so
// they hold across the guest copying its programs into SMRAM and in SMRAM
// that is closed to code outside SMM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qemu {

struct GdbSession {
  uint16_t port = 0;
  std::string guestSymbols;  // the guest's program outside SMM (the attacker's side)
  std::string smmSymbols;    // the guest's SMRAM program (an ELF linked where it runs)
  std::string companion;     // the image's debug companion
  uint64_t imageBase = 0;    // the base the image and its companion were linked for
  std::string breakAt;       // a function or FILE:LINE of the module
  bool batch = false;        // run alone: stop once, run atStop, go on to the end
  std::vector<std::string> atStop;

  std::string Commands() const;
};

// The default companion of an image: the same name with ".debug".
std::string DebugCompanionFor(const std::string &imagePath);

// A TCP port on 127.0.0.1 nobody listens on now (0 if none could be found).
uint16_t FreeLocalPort();

// The default gdb (as found at configure time) and SMRAM program.
std::string DefaultGdb();
std::string DefaultSmmSymbols();

}  // namespace qemu
