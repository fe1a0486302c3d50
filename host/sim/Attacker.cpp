#include "sim/Attacker.h"

namespace sim {

Attacker::Attacker(Platform &platform) : platform_(platform), base_(platform.Layout().pciExpressBase) {
  outer_ = platform_.bus.onAccess;
  platform_.bus.onAccess = [this](const Access &a) {
    if (watching_ != nullptr && platform_.InSmi() && a.space == Space::Mem &&
        a.address == platform_.Layout().GpioLockAddress())
      watching_->push_back(a);
    if (outer_) outer_(a);
  };
}

Attacker::~Attacker() { platform_.bus.onAccess = outer_; }

uint32_t Attacker::ConfigRead32(uint32_t address) {
  platform_.bus.Write(Space::Io, PciConfigPorts::kAddressPort, 32, address);
  return platform_.bus.Read(Space::Io, PciConfigPorts::kDataPort, 32);
}

void Attacker::ConfigWrite32(uint32_t address, uint32_t value) {
  platform_.bus.Write(Space::Io, PciConfigPorts::kAddressPort, 32, address);
  platform_.bus.Write(Space::Io, PciConfigPorts::kDataPort, 32, value);
}

uint8_t Attacker::LegacyLockByte() {
  platform_.bus.Write(Space::Io, PciConfigPorts::kAddressPort, 32, attack::kLockConfigAddress);
  return static_cast<uint8_t>(platform_.bus.Read(Space::Io, PciConfigPorts::kDataPort, 8));
}

uint8_t Attacker::LockByte() {
  const uint64_t window = attack::WindowDuring(kind_, base_);
  if (window == 0) return LegacyLockByte();
  return static_cast<uint8_t>(platform_.bus.Read(Space::Mem, window + attack::kLockOffset, 8));
}

void Attacker::WriteLockByte(uint8_t value) {
  const uint64_t window = attack::WindowDuring(kind_, base_);
  if (window == 0) {
    platform_.bus.Write(Space::Io, PciConfigPorts::kAddressPort, 32, attack::kLockConfigAddress);
    platform_.bus.Write(Space::Io, PciConfigPorts::kDataPort, 8, value);
  } else {
    platform_.bus.Write(Space::Mem, window + attack::kLockOffset, 8, value);
  }
}

void Attacker::Begin(attack::Kind kind) {
  kind_ = kind;
  if (readBack) {
    lockAtBegin_ = LegacyLockByte();
    platform_.bus.Write(Space::Io, PciConfigPorts::kDataPort, 8, lockAtBegin_ | attack::kOtherBit);
  }
  if (kind == attack::kClear) return;
  const uint64_t bar = attack::PciExBarDuring(kind, base_);
  ConfigWrite32(attack::kPciExBarConfigAddress + 4, static_cast<uint32_t>(bar >> 32));
  ConfigWrite32(attack::kPciExBarConfigAddress, static_cast<uint32_t>(bar));
  if (kind == attack::kFakeWindow) {
    // A display adapter's framebuffer BAR programmed at the old base, its
    // byte at the lock's offset set.
    platform_.PlaceFramebuffer(base_);
    platform_.bus.Write(Space::Mem, base_ + attack::kLockOffset, 8, 0x01);
  }
}

Attacker::Round Attacker::Clear() {
  Round r;
  const int smis = platform_.SmisDelivered();
  if (!readBack) {
    watching_ = &r.handlerAtLock;
    const uint8_t lock = LockByte();
    WriteLockByte(static_cast<uint8_t>(lock & ~LpcBridge::kGpioLockBit));
    watching_ = nullptr;
    r.smi = platform_.SmisDelivered() != smis;
    r.relocked = r.relockedLegacy = platform_.lpc.Locked();
    return r;
  }
  const uint8_t lock = r.lockBefore = LockByte();
  // The value of its own in 0xCF8 (with the window off, the clear itself leaves the lock's address there).
  r.cf8Left = attack::WindowDuring(kind_, base_) == 0 ? attack::kLockConfigAddress : attack::kAttackerCf8;
  platform_.bus.Write(Space::Io, PciConfigPorts::kAddressPort, 32, r.cf8Left);
  watching_ = &r.handlerAtLock;
  WriteLockByte(static_cast<uint8_t>(lock & ~LpcBridge::kGpioLockBit));  // the chipset raises the SMI here
  watching_ = nullptr;
  r.smi = platform_.SmisDelivered() != smis;
  r.cf8Found = platform_.bus.Read(Space::Io, PciConfigPorts::kAddressPort, 32);
  r.relocked = (LockByte() & LpcBridge::kGpioLockBit) != 0;
  r.lockAfter = LegacyLockByte();
  r.relockedLegacy = (r.lockAfter & LpcBridge::kGpioLockBit) != 0;
  return r;
}

void Attacker::End() {
  if (!readBack && kind_ == attack::kClear) return;
  if (kind_ != attack::kClear) {
    ConfigWrite32(attack::kPciExBarConfigAddress + 4, 0);
    ConfigWrite32(attack::kPciExBarConfigAddress, static_cast<uint32_t>(base_ | 1));
    platform_.PlaceFramebuffer(std::nullopt);
  }
  // The lock's byte as the firmware left it, set (setting it raises no SMI).
  LegacyLockByte();
  platform_.bus.Write(Space::Io, PciConfigPorts::kDataPort, 8, lockAtBegin_ | LpcBridge::kGpioLockBit);
  kind_ = attack::kClear;
}

}  // namespace sim
