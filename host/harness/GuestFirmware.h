// The firmware as the emulated image sees it: guest copies of the fake
// firmware's tables (system table, boot services, SMM Base2, loaded image,
// SMST, the SMI-source dispatcher) whose service pointers are thunks, and the
// services themselves, performed by the same sim::FakeFirmware methods the
// host build reaches when the guest arrives at a thunk.  Every table slot the
// module has no business calling leads to a thunk that stops the run.
//
// A pointer the guest passes is read from guest memory before the call, and
// what the service returns through it is written back after, as the firmware
// would.
#pragma once

#include <cstdint>
#include <string>

#include "Uefi.h"
#include "harness/GuestMemoryMap.h"
#include "sim/FakeFirmware.h"

struct uc_struct;

namespace harness {

// One `ret` per service, kThunkStride bytes apart.
enum Thunk : uint64_t {
  kReturn,  // where the harness's own calls return to: the emulation stops there
  kHandleProtocol,
  kLocateProtocol,
  kInSmm,
  kGetSmstLocation,
  kSmmLocateProtocol,
  kRegister,
  kUnRegister,
  kUnusedService,  // every table slot the module has no business calling
  kThunkCount
};
constexpr uint64_t ThunkAddress(Thunk t) { return kThunkBase + kThunkStride * t; }

class GuestFirmware {
 public:
  // The guest's tables.
  static constexpr uint64_t kSystemTable = kBootServicesBase + 0x000;
  static constexpr uint64_t kBootServices = kBootServicesBase + 0x100;
  static constexpr uint64_t kSmmBase2 = kBootServicesBase + 0x300;
  static constexpr uint64_t kLoadedImage = kBootServicesBase + 0x340;
  static constexpr uint64_t kImageHandle = kBootServicesBase + 0x3C0;
  static constexpr uint64_t kSmst = kSmramBase + 0x000;
  static constexpr uint64_t kSmiSourceDispatch = kSmramBase + 0x200;

  GuestFirmware(uc_struct *uc, sim::FakeFirmware &firmware) : uc_(uc), firmware_(firmware) {}

  // Writes the thunks and the tables into guest memory (already mapped).
  void Build();

  // Performs the service of the thunk at `address` with the guest's
  // argument registers and puts its status in RAX.  False, with `fault`
  // set, when the call cannot be served and the run must stop.
  bool Serve(uint64_t address, std::string &fault);

 private:
  bool ReadGuest(uint64_t address, void *out, size_t size);
  bool WriteGuest(uint64_t address, const void *in, size_t size);
  uint64_t GuestOf(const void *hostInterface);

  uc_struct *uc_;
  sim::FakeFirmware &firmware_;
};

}  // namespace harness
