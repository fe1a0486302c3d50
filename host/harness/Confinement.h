// What a handler may touch while it runs: instructions only from the image's
// executable sections; data only in the image, its stack and the GPIO lock
// byte; no port at all; no call to the firmware; no read of the image's
// slots that held a boot-services pointer when the entry returned (after
// boot those point at memory an attacker outside SMM controls).  Each breach
// is a violation of one of these kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace harness {

enum class ViolationKind : uint8_t {
  Callout,              // a call into the firmware's services
  Fetch,                // an instruction outside the image's code
  Data,                 // a data access outside the image, its stack and the lock byte
  Port,                 // any port access
  BootServicesPointer,  // a read of a slot that holds a boot-services pointer
  Unmapped,             // an access to memory nothing backs
};
constexpr int kViolationKinds = 6;

// "callout", "fetch", "data", "port", "boot-services pointer", "unmapped".
const char *ViolationName(ViolationKind kind);

class Confinement {
 public:
  // The image as loaded: where it lies and its executable sections [first, end).
  void SetImage(uint64_t base, uint64_t size, std::vector<std::pair<uint64_t, uint64_t>> code);
  // The image's slots that hold a boot-services pointer (found after boot).
  void SetBootServicesSlots(std::vector<uint64_t> slots) { bootServicesSlots_ = std::move(slots); }
  // The GPIO lock byte, the one device byte the handler may touch.
  void SetLockAddress(uint64_t address) { lockAddress_ = address; }
  const std::vector<uint64_t> &BootServicesSlots() const { return bootServicesSlots_; }

  bool InCode(uint64_t address, uint64_t size) const;
  // The breach a handler's data access makes, if any; `what` describes it.
  std::optional<ViolationKind> CheckData(uint64_t address, uint64_t size, bool write, uint64_t rip,
                                         std::string &what) const;

 private:
  uint64_t imageBase_ = 0, imageSize_ = 0, lockAddress_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> code_;
  std::vector<uint64_t> bootServicesSlots_;
};

}  // namespace harness
