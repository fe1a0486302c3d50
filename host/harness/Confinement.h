// What a handler may touch while it runs: instructions only from the image's
// executable sections; data only in the image, its stack and the GPIO lock
// byte; no port at all (on a board with the window check: only 0xCF8 and
// 0xCFC-0xCFF, with 0xCF8 naming the window register or the lock, or given
// back the value the handler found there); no call to the firmware; no read of the image's
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
  // The 0xCF8 values (configuration addresses) the handler may select: on a
  // board with the window check, the window register's two halves and the lock.
  void SetConfigAddresses(std::vector<uint32_t> addresses) { configAddresses_ = std::move(addresses); }
  // Each handler run starts here: 0xCF8's value as the run found it is not yet known.
  void BeginHandlerRun() { cf8Found_.reset(); }
  // Whether a handler's port access is allowed; `selected` is what 0xCF8 holds.
  bool PortAllowed(uint16_t port, int bytes, bool write, uint32_t value, uint32_t selected);

  bool InCode(uint64_t address, uint64_t size) const;
  // The breach a handler's data access makes, if any; `what` describes it.
  std::optional<ViolationKind> CheckData(uint64_t address, uint64_t size, bool write, uint64_t rip,
                                         std::string &what) const;

 private:
  uint64_t imageBase_ = 0, imageSize_ = 0, lockAddress_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> code_;
  std::vector<uint64_t> bootServicesSlots_;
  std::vector<uint32_t> configAddresses_;
  std::optional<uint32_t> cf8Found_;
};

}  // namespace harness
