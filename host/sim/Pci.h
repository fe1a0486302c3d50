// PCI configuration space: functions with a 4 KiB register file, a segment
// that holds them by bus/device/function, and the memory-mapped PCI Express
// window that reaches them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "sim/Bus.h"
#include "sim/ConfiguredBoard.h"

namespace sim {

constexpr uint64_t kPciExpressBase = VEXA_BOARD_PCI_EXPRESS_BASE_ADDRESS;  // on the configured board
constexpr uint64_t kPciExpressSize = 0x10000000;  // 256 buses x 32 devices x 8 functions x 4 KiB

struct PciLocation {
  uint8_t bus, device, function;
  bool operator<(const PciLocation &o) const {
    return (bus << 8 | device << 3 | function) < (o.bus << 8 | o.device << 3 | o.function);
  }
};

// A configuration space.  Accesses of 1, 2 or 4 bytes are made of byte
// accesses, little-endian; models override the byte hooks for side effects.
class PciFunction {
 public:
  PciFunction(std::string name, uint16_t vendorId, uint16_t deviceId);
  virtual ~PciFunction() = default;

  const std::string &Name() const { return name_; }
  virtual uint32_t ConfigRead(uint16_t reg, int width);
  virtual void ConfigWrite(uint16_t reg, int width, uint32_t value);
  virtual std::string RegisterName(uint16_t reg) const;

  // Direct access to the register file, for set-up and checks (not traced).
  uint8_t &Byte(uint16_t reg) { return config_[reg & 0xFFF]; }
  uint16_t Word(uint16_t reg) const;
  uint32_t Dword(uint16_t reg) const;
  void SetWord(uint16_t reg, uint16_t value);
  void SetDword(uint16_t reg, uint32_t value);

 protected:
  virtual uint8_t ReadByte(uint16_t reg) { return config_[reg]; }
  virtual void WriteByte(uint16_t reg, uint8_t value) { config_[reg] = value; }
  // Runs once after a whole write, with the register file already updated.
  virtual void AfterWrite(uint16_t reg, int width) {}

  std::array<uint8_t, 4096> config_{};
  std::string name_;
};

class PciSegment {
 public:
  void Attach(PciLocation at, PciFunction *function) { functions_[at] = function; }
  PciFunction *Find(PciLocation at) const;

 private:
  std::map<PciLocation, PciFunction *> functions_;
};

// The window at kPciExpressBase: offset = bus << 20 | device << 15 | function << 12 | register.
// An absent function reads as all ones and ignores writes.
class PciExpressWindow : public Device {
 public:
  explicit PciExpressWindow(PciSegment &segment) : segment_(segment) {}
  const char *Name() const override { return "PCIe"; }
  uint32_t Read(Space space, uint64_t offset, int width) override;
  void Write(Space space, uint64_t offset, int width, uint32_t value) override;
  std::string RegisterName(Space space, uint64_t offset, Dir dir) const override;

 private:
  PciSegment &segment_;
};

// The chipset's LPC bridge at 0:31.0.  Register 0x4C bit 0 is the GPIO lock:
// a write that clears it raises the GPIO-unlock SMI, as the chipset would.
class LpcBridge : public PciFunction {
 public:
  static constexpr uint16_t kGpioLockRegister = 0x4C;
  static constexpr uint8_t kGpioLockBit = 0x01;
  static constexpr uint32_t kGpioUnlockSmiSource = 48;

  explicit LpcBridge(std::function<void(uint32_t)> raiseSmi);
  std::string RegisterName(uint16_t reg) const override;
  uint8_t GpioLockByte() const { return config_[kGpioLockRegister]; }
  bool Locked() const { return (config_[kGpioLockRegister] & kGpioLockBit) != 0; }
  int UnlockSmisRaised() const { return unlockSmis_; }

 protected:
  void WriteByte(uint16_t reg, uint8_t value) override;
  void AfterWrite(uint16_t reg, int width) override;

 private:
  std::function<void(uint32_t)> raiseSmi_;
  bool lockedBeforeWrite_ = false;
  bool lockTouched_ = false;
  int unlockSmis_ = 0;
};

}  // namespace sim
