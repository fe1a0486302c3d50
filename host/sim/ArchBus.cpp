// The host back end of the module's lowest access level: each Arch* function
// declared in IoLibArch.h is one access on the current simulated bus.  The
// declarations are included, not repeated, so a definition whose types drift
// from the module's is a compile error rather than a silent mismatch.

#include <cstdio>
#include <cstdlib>

#include "MdePkg/Library/BaseIoLibIntrinsic/IoLibArch.h"
#include "sim/Bus.h"

namespace {

sim::Bus &CurrentBusOrDie() {
  sim::Bus *bus = sim::Bus::Current();
  if (bus == nullptr) {
    std::fprintf(stderr, "register access with no simulated platform in place\n");
    std::abort();
  }
  return *bus;
}

}  // namespace

extern "C" {

UINT8 ArchPortIn8(UINT16 Port) { return static_cast<UINT8>(CurrentBusOrDie().Read(sim::Space::Io, Port, 8)); }
UINT32 ArchPortIn32(UINT16 Port) { return CurrentBusOrDie().Read(sim::Space::Io, Port, 32); }
VOID ArchPortOut8(UINT16 Port, UINT8 Value) { CurrentBusOrDie().Write(sim::Space::Io, Port, 8, Value); }
VOID ArchPortOut32(UINT16 Port, UINT32 Value) { CurrentBusOrDie().Write(sim::Space::Io, Port, 32, Value); }
UINT8 ArchLoad8(UINTN Address) { return static_cast<UINT8>(CurrentBusOrDie().Read(sim::Space::Mem, Address, 8)); }
UINT16 ArchLoad16(UINTN Address) { return static_cast<UINT16>(CurrentBusOrDie().Read(sim::Space::Mem, Address, 16)); }
UINT32 ArchLoad32(UINTN Address) { return CurrentBusOrDie().Read(sim::Space::Mem, Address, 32); }
VOID ArchStore8(UINTN Address, UINT8 Value) { CurrentBusOrDie().Write(sim::Space::Mem, Address, 8, Value); }
VOID ArchStore16(UINTN Address, UINT16 Value) { CurrentBusOrDie().Write(sim::Space::Mem, Address, 16, Value); }
VOID ArchStore32(UINTN Address, UINT32 Value) { CurrentBusOrDie().Write(sim::Space::Mem, Address, 32, Value); }
}
