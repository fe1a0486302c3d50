// What a handler may touch while it runs: instructions only from the image's
// executable sections; data only in the image, its stack and the GPIO lock
// byte; no port at all (on a board with the window check: only 0xCF8 and
// 0xCFC-0xCFF, with 0xCF8 naming the window register or the lock, or given
// back the value the handler found there); no call to the firmware; no read of the image's
// slots that held a boot-services pointer when the entry returned (after
// boot those point at memory an attacker outside SMM controls).  What it
// writes to the lock byte is the value it read there just before with bit 0
// set: the register's other bits belong to the platform.  Each breach is a
// violation of one of these kinds.
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
  LockValue,            // a lock write other than the value read just before with bit 0 set
};
constexpr int kViolationKinds = 7;

// "callout", "fetch", "data", "port", "boot-services pointer", "unmapped", "lock value".
const char *ViolationName(ViolationKind kind);

// The lock byte's rule: `written` must be `readBefore` (the handler's last
// read of it in this run, if any) with bit 0 set.  Empty when it is;
// otherwise what was wrong.
std::optional<std::string> LockWriteBreach(std::optional<uint8_t> readBefore, uint32_t written);

// The rule for one device access a handler made, as a log of device
// accesses shows it (port or memory-mapped, its width in bits): a port is a
// violation; memory-mapped, anything but a one-byte access to the lock byte
// is one.  `what` reads as the simulator's description of the same access.
std::optional<ViolationKind> CheckDeviceAccess(bool port, uint64_t address, int width, bool write,
                                               uint64_t lockAddress, std::string &what);

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
