// The named attacks outside SMM (sim/Attack.h says what each one does), as
// the simulator's attacker makes them: the window moved, replaced or
// switched off through PCIEXBAR, then rounds of clear, unlock SMI and
// read-back, with 0xCF8 holding a value of the attacker's own across each
// SMI.  A round whose lock stays clear ends the attack.
#include "Guest.h"
#include "Outside.h"
#include "sim/Attack.h"

using namespace guest;
using namespace report;

extern "C" Mailbox gMailbox;

namespace {

constexpr uint32_t kLockRegister = 0x4C;                   // of the LPC bridge
constexpr uint32_t kBochsDisplayId = 0x11111234;           // device 0x1111, vendor 0x1234: a display adapter
constexpr uint64_t kFourGiB = 0x100000000ull;

uint32_t ConfigRead32(uint32_t device, uint32_t reg) {
  Out32(PCI_CONFIG_ADDRESS_PORT, ConfigAddress(device, 0, reg));
  return In32(PCI_CONFIG_DATA_PORT);
}

uint8_t LegacyLock() { return ConfigRead8(LPC_DEVICE, LPC_FUNCTION, kLockRegister); }

// This program maps the low 4 GiB; a window above them needs its GiB mapped
// too (2 MiB pages, in a page directory of its own).
alignas(4096) uint64_t gHighDirectory[512];
void MapGiB(uint64_t address) {
  uint64_t cr3 = 0;
  asm volatile("mov %%cr3, %0" : "=r"(cr3));
  auto *pml4 = reinterpret_cast<uint64_t *>(cr3 & ~0xFFFull);
  auto *pdpt = reinterpret_cast<uint64_t *>(pml4[0] & ~0xFFFull);
  const uint64_t gib = address >> 30;
  for (uint64_t i = 0; i < 512; ++i)
    gHighDirectory[i] = (gib << 30) + i * LARGE_PAGE_SIZE | PTE_PRESENT | PTE_WRITABLE | PTE_LARGE;
  pdpt[gib] = reinterpret_cast<uint64_t>(gHighDirectory) | PTE_PRESENT | PTE_WRITABLE;
  asm volatile("mov %0, %%cr3" : : "r"(cr3) : "memory");
}

// The display adapter's framebuffer BAR (BAR0, 16 MiB of RAM) at `at`, its
// byte at the lock's offset set; true when that byte reads back set.
bool PlaceFramebuffer(uint64_t at) {
  for (uint32_t device = 0; device < 32; ++device) {
    if (ConfigRead32(device, 0x00) != kBochsDisplayId) continue;
    ConfigWrite32(device, 0, 0x10, static_cast<uint32_t>(at));
    ConfigWrite32(device, 0, 0x04, ConfigRead32(device, 0x04) | 0x2);  // memory decoding on
    Store<uint8_t>(at + attack::kLockOffset, 0x01);
    return Load<uint8_t>(at + attack::kLockOffset) == 0x01;
  }
  return false;
}

}  // namespace

void guest::NamedAttack(uint32_t kind, uint64_t base, uint64_t attempts) {
  using namespace attack;
  const Kind k = static_cast<Kind>(kind);
  const uint64_t window = WindowDuring(k, base);
  ConfigWrite8(LPC_DEVICE, LPC_FUNCTION, kLockRegister, static_cast<uint8_t>(LegacyLock() | kOtherBit));
  if (k != kClear) {
    const uint64_t bar = PciExBarDuring(k, base);
    ConfigWrite32(0, 0, MCH_PCIEXBAR + 4, static_cast<uint32_t>(bar >> 32));
    ConfigWrite32(0, 0, MCH_PCIEXBAR, static_cast<uint32_t>(bar));
  }
  if (window >= kFourGiB) MapGiB(window);
  const bool framebuffer = k == kFakeWindow && PlaceFramebuffer(base);
  auto lock = [&] { return window != 0 ? Load<uint8_t>(window + kLockOffset) : LegacyLock(); };

  const uint32_t handlerCallsBefore = gMailbox.handlerCalls;
  uint64_t rounds = 0, relocked = 0, smis = 0, polls = 0;
  uint32_t cf8Left = 0, cf8Found = 0;
  uint8_t lockBefore = 0, lockAfter = 0;
  bool cf8Changed = false, bitsChanged = false;
  while (rounds < attempts) {
    ++rounds;
    const uint8_t before = lock();
    const uint32_t left = window != 0 ? kAttackerCf8 : kLockConfigAddress;
    if (window != 0) {
      Store<uint8_t>(window + kLockOffset, static_cast<uint8_t>(before & ~1u));
    } else {
      ConfigWrite8(LPC_DEVICE, LPC_FUNCTION, kLockRegister, static_cast<uint8_t>(before & ~1u));
    }
    Out32(PCI_CONFIG_ADDRESS_PORT, left);
    const bool smi = RaiseSmi(APM_GPIO_UNLOCK);
    const uint32_t found = In32(PCI_CONFIG_ADDRESS_PORT);
    const uint8_t there = lock(), legacy = LegacyLock();
    smis += smi ? 1 : 0;
    if (smi && gLastSmiPolls > polls) polls = gLastSmiPolls;
    if (found != left && !cf8Changed) {
      cf8Changed = true;
      cf8Left = left;
      cf8Found = found;
    }
    if (((before ^ legacy) & ~1u) != 0 && !bitsChanged) {
      bitsChanged = true;
      lockBefore = before;
      lockAfter = legacy;
    }
    if (!smi || (there & 1u) == 0 || (legacy & 1u) == 0) break;
    ++relocked;
  }
  {
    Line<Named> line;
    line.Dec(Named::kKind, kind).Dec(Named::kRounds, rounds).Dec(Named::kRelocked, relocked).Dec(Named::kSmis, smis).Dec(Named::kPolls, polls);
    if (cf8Changed) line.Hex(Named::kCf8Left, cf8Left).Hex(Named::kCf8Found, cf8Found);
    if (bitsChanged) line.Hex(Named::kLockBefore, lockBefore).Hex(Named::kLockAfter, lockAfter);
    if (k == kFakeWindow) line.Dec(Named::kFramebuffer, framebuffer);
  }
  // The rounds as the plain attack reports them, for the rig's accounting.
  Line<report::Attack>()
      .Dec(report::Attack::kAttempts, rounds)
      .Dec(report::Attack::kRelocked, relocked)
      .Dec(report::Attack::kIdleSmis, 0)
      .Dec(report::Attack::kIdleLocked, 0)
      .Dec(report::Attack::kSmis, smis)
      .Dec(report::Attack::kHandlerCalls, gMailbox.handlerCalls - handlerCallsBefore)
      .Dec(report::Attack::kBreakpoints, gMailbox.breakpoints);
  Check(smis == rounds, "an-smi-was-not-taken");
  Check(k != kFakeWindow || framebuffer, "no-framebuffer-at-the-old-window");
}
