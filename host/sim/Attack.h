// The attacks the project runs against the lock, on the simulated platform
// and on QEMU alike: what each does to the PCI Express window before it
// clears the lock, where it clears and reads the lock back, and the values
// it picks.  Plain constants, so the QEMU guest's attacker can use them too.
//
// Every attack then repeats rounds: leave 0xCF8 holding a value of its own,
// clear bit 0 of the lock where the window now is (through the legacy
// configuration ports when it is off), have the unlock SMI taken, read 0xCF8
// back, and read the lock back at the same place and through the legacy ports.
#pragma once

#include <stdint.h>

#include "GpioLock.h"

namespace attack {

enum Kind : uint8_t {
  kClear,          // the window stays where the firmware put it
  kMoveWindow,     // PCIEXBAR (high half, then low) moves the window to MovedBase
  kFakeWindow,     // as kMoveWindow, then a framebuffer BAR at the old base holds a set lock byte
  kWindowAbove4G,  // PCIEXBAR's high half alone moves the window 4 GiB up
  kWindowOff,      // PCIEXBAR's enable bit cleared: no window at all
  kKinds,
};

constexpr const char *kNames[kKinds] = {"clear", "move-window", "fake-window", "window-above-4g", "window-off"};

// 0:0.0 register 0x60 through the legacy ports, and the value the attacker
// leaves in 0xCF8 before each SMI (0:31.0 register 0xA8: none the handler names).
constexpr uint32_t kPciExBarConfigAddress = 0x80000060u;
constexpr uint32_t kLockConfigAddress = 0x8000F84Cu;
constexpr uint32_t kAttackerCf8 = 0x8000F8A8u;
constexpr uint64_t kLockOffset = GPIO_LOCK_REGISTER_OFFSET;  // GpioLock.h
// Before its first round the attacker also sets this bit of the lock's byte
// (setting bits raises no SMI), so that a handler that writes the whole byte
// instead of setting bit 0 shows.
constexpr uint8_t kOtherBit = 0x10;

// Where the moved window goes: clear of the old one, below 4 GiB, above RAM.
constexpr uint64_t MovedBase(uint64_t base) { return base == 0xB0000000u ? 0xC0000000u : 0xB0000000u; }
constexpr uint64_t Above4GBase(uint64_t base) { return base + 0x100000000ull; }

// Where the window decodes during the attack (0: nowhere).
constexpr uint64_t WindowDuring(Kind kind, uint64_t base) {
  return kind == kMoveWindow || kind == kFakeWindow ? MovedBase(base)
         : kind == kWindowAbove4G                   ? Above4GBase(base)
         : kind == kWindowOff                       ? 0
                                                    : base;
}
// PCIEXBAR's value during the attack.
constexpr uint64_t PciExBarDuring(Kind kind, uint64_t base) {
  return kind == kWindowOff ? base : WindowDuring(kind, base) | 1;
}

}  // namespace attack
