// The named attacks as the main job runs and judges them, on the simulated
// platform and on QEMU alike (host/sim/Attack.h says what each one does):
// what one attack came to, its verdict, and the finding that names it and
// what the handler saw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Attack.h"

namespace tool {

// "clear,move-window" (or one name): the attacks in order; false with `error` set on a bad name.
bool ParseAttacks(const std::string &text, std::vector<attack::Kind> &out, std::string &error);

struct AttackOutcome {
  attack::Kind kind = attack::kClear;
  int attempts = 0;  // asked for
  int rounds = 0;    // run (an attack stops at the first unlock left undone)
  int relocked = 0;  // rounds whose lock read back set where the attacker cleared it and through the legacy ports
  bool smiMissing = false;
  uint32_t cf8Left = 0;                // what the attacker left in 0xCF8 before the SMI
  std::optional<uint32_t> cf8Changed;  // what it found after, when that differed (the first time)
  // The lock's byte before a clear and after its SMI when its other bits changed (the first time).
  std::optional<std::pair<uint8_t, uint8_t>> otherBitsChanged;
  // In the first round not re-locked: what the handler read and wrote at the
  // image's lock address (nothing known: not filled).
  bool handlerSeen = false;
  bool memoryUnlogged = false;  // QEMU: its log has no access to RAM or to where nothing answers
  std::vector<uint8_t> handlerReads, handlerWrites;

  bool Defended() const {
    return rounds == attempts && relocked == rounds && !smiMissing && !cf8Changed && !otherBitsChanged;
  }
};

// The findings an attack that was not defended gives (none when it was), for
// an image built for the window at `base`.
std::vector<std::string> AttackFindings(const AttackOutcome &o, uint64_t base);
// "attacks: clear defended, move-window not defended".
std::string AttackSummary(const std::vector<AttackOutcome> &outcomes);

}  // namespace tool
