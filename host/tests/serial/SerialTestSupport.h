// Shared pieces of the serial console tests: settings variants, trace
// filters and a scripted register.
#pragma once

#include <initializer_list>
#include <vector>

#include "SerialPort/SerialPortLibTemplate.h"
#include "SerialPort/SerialPortSettings.h"
#include "sim/Platform.h"
#include "support/TestSupport.h"

namespace serialtest {

using Configured = SerialPortLibT<ConfiguredSerialPortSettings>;

// Flow control, with and without cable detection.
struct FlowControlSettings : ConfiguredSerialPortSettings {
  static constexpr BOOLEAN UseHardwareFlowControl = TRUE;
  static constexpr BOOLEAN DetectCable = FALSE;
};
struct CableDetectSettings : ConfiguredSerialPortSettings {
  static constexpr BOOLEAN UseHardwareFlowControl = TRUE;
  static constexpr BOOLEAN DetectCable = TRUE;
};

// The FIFO settings.
template <UINT8 Fcr, UINT32 ExtendedSize = PcdSerialExtendedTxFifoSize>
struct FifoSettings : ConfiguredSerialPortSettings {
  static constexpr UINT8 FifoControl = Fcr;
  static constexpr UINT32 ExtendedTxFifoSize = ExtendedSize;
};

// The accesses that reached any of `devices`, in order.
inline std::vector<sim::Access> TraceOfDevices(const sim::Bus &bus,
                                               std::initializer_list<const sim::Device *> devices) {
  std::vector<sim::Access> out;
  for (const sim::Access &a : bus.Trace())
    for (const sim::Device *d : devices)
      if (a.device == d) out.push_back(a);
  return out;
}

// Runs of the same read of a polled register (LSR, MSR) returning the same
// value as one access.
inline std::vector<sim::Access> CollapsePolls(const std::vector<sim::Access> &trace,
                                              std::initializer_list<uint64_t> polled = {0x3FD, 0x3FE}) {
  std::vector<sim::Access> out;
  for (const sim::Access &a : trace) {
    bool isPolled = false;
    for (uint64_t address : polled) isPolled = isPolled || a.address == address;
    if (isPolled && !out.empty() && a.dir == sim::Dir::Read && out.back() == a) continue;
    out.push_back(a);
  }
  return out;
}

inline size_t CountOf(const std::vector<sim::Access> &trace, sim::Dir dir, uint64_t address) {
  size_t n = 0;
  for (const sim::Access &a : trace) n += (a.dir == dir && a.address == address) ? 1 : 0;
  return n;
}

// One byte register whose reads follow a script (the last value repeats);
// mapped over a device's register to stage what the hardware would do over
// time.  Writes are taken and dropped.
class ScriptedRegister : public sim::Device {
 public:
  explicit ScriptedRegister(std::vector<uint8_t> script) : script_(std::move(script)) {}
  const char *Name() const override { return "SCRIPT"; }
  uint32_t Read(sim::Space, uint64_t, int) override {
    const uint8_t v = script_[next_ < script_.size() ? next_ : script_.size() - 1];
    ++next_;
    return v;
  }
  void Write(sim::Space, uint64_t, int, uint32_t) override {}
  size_t Reads() const { return next_; }

 private:
  std::vector<uint8_t> script_;
  size_t next_ = 0;
};

}  // namespace serialtest
