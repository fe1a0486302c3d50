#include "sim/Pci.h"

#include <cstdio>

namespace sim {

PciFunction::PciFunction(std::string name, uint16_t vendorId, uint16_t deviceId) : name_(std::move(name)) {
  SetWord(0x00, vendorId);
  SetWord(0x02, deviceId);
}

uint16_t PciFunction::Word(uint16_t reg) const {
  return static_cast<uint16_t>(config_[reg & 0xFFF] | config_[(reg + 1) & 0xFFF] << 8);
}
uint32_t PciFunction::Dword(uint16_t reg) const {
  return static_cast<uint32_t>(Word(reg)) | static_cast<uint32_t>(Word(static_cast<uint16_t>(reg + 2))) << 16;
}
void PciFunction::SetWord(uint16_t reg, uint16_t value) {
  config_[reg & 0xFFF] = static_cast<uint8_t>(value);
  config_[(reg + 1) & 0xFFF] = static_cast<uint8_t>(value >> 8);
}
void PciFunction::SetDword(uint16_t reg, uint32_t value) {
  SetWord(reg, static_cast<uint16_t>(value));
  SetWord(static_cast<uint16_t>(reg + 2), static_cast<uint16_t>(value >> 16));
}

uint32_t PciFunction::ConfigRead(uint16_t reg, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<uint32_t>(ReadByte((reg + i) & 0xFFF)) << (8 * i);
  return value;
}

void PciFunction::ConfigWrite(uint16_t reg, int width, uint32_t value) {
  for (int i = 0; i < width; ++i) WriteByte((reg + i) & 0xFFF, static_cast<uint8_t>(value >> (8 * i)));
  AfterWrite(reg, width);
}

std::string PciFunction::RegisterName(uint16_t reg) const {
  char text[48];
  std::snprintf(text, sizeof text, "%s[0x%03X]", name_.c_str(), reg);
  return text;
}

PciFunction *PciSegment::Find(PciLocation at) const {
  auto it = functions_.find(at);
  return it == functions_.end() ? nullptr : it->second;
}

namespace {
PciLocation LocationOf(uint64_t offset) {
  return {static_cast<uint8_t>(offset >> 20), static_cast<uint8_t>((offset >> 15) & 0x1F),
          static_cast<uint8_t>((offset >> 12) & 0x7)};
}
}  // namespace

uint32_t PciExpressWindow::Read(Space, uint64_t offset, int width) {
  PciFunction *f = segment_.Find(LocationOf(offset));
  if (f == nullptr) return 0xFFFFFFFFu;
  return f->ConfigRead(offset & 0xFFF, width);
}

void PciExpressWindow::Write(Space, uint64_t offset, int width, uint32_t value) {
  PciFunction *f = segment_.Find(LocationOf(offset));
  if (f != nullptr) f->ConfigWrite(offset & 0xFFF, width, value);
}

std::string PciExpressWindow::RegisterName(Space, uint64_t offset, Dir) const {
  const PciLocation at = LocationOf(offset);
  PciFunction *f = segment_.Find(at);
  char text[64];
  if (f == nullptr) {
    std::snprintf(text, sizeof text, "%02X:%02X.%X[0x%03X] (absent)", at.bus, at.device, at.function,
                  static_cast<unsigned>(offset & 0xFFF));
    return text;
  }
  return f->RegisterName(offset & 0xFFF);
}

LpcBridge::LpcBridge(std::function<void(uint32_t)> raiseSmi)
    : PciFunction("LPC", 0x8086, 0x7A06), raiseSmi_(std::move(raiseSmi)) {
  config_[0x0A] = 0x01;  // sub-class: ISA bridge
  config_[0x0B] = 0x06;  // class: bridge
  config_[0x0E] = 0x80;  // multi-function header
  config_[kGpioLockRegister] = kGpioLockBit;  // firmware leaves the GPIO configuration locked
}

std::string LpcBridge::RegisterName(uint16_t reg) const {
  if (reg == kGpioLockRegister) return "LPC.GPIO_LOCK";
  if (reg >= 0x80 && reg <= 0x83) {
    char text[24];
    std::snprintf(text, sizeof text, "LPC.DECODE[0x%02X]", reg);
    return text;
  }
  return PciFunction::RegisterName(reg);
}

void LpcBridge::WriteByte(uint16_t reg, uint8_t value) {
  if (reg == kGpioLockRegister) {
    lockTouched_ = true;
    lockedBeforeWrite_ = Locked();
  }
  config_[reg] = value;
}

void LpcBridge::AfterWrite(uint16_t, int) {
  if (!lockTouched_) return;
  lockTouched_ = false;
  if (lockedBeforeWrite_ && !Locked()) {
    ++unlockSmis_;
    if (raiseSmi_) raiseSmi_(kGpioUnlockSmiSource);
  }
}

}  // namespace sim
