// Simulated time.  Nothing in the simulator looks at the wall clock: the
// platform advances this clock by a fixed amount per bus access, and device
// models with timing (the UART's transmitter) read it.
#pragma once

#include <cstdint>

namespace sim {

class Clock {
 public:
  // What one port or memory access costs on the platform: about a
  // microsecond, the order of an I/O read on the chipset's LPC bus.
  static constexpr uint64_t kAccessNs = 1000;

  uint64_t Now() const { return nowNs_; }
  void Advance(uint64_t ns) { nowNs_ += ns; }

 private:
  uint64_t nowNs_ = 0;
};

}  // namespace sim
