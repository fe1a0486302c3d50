// Software outside SMM on the simulated platform that attacks the lock the
// way host/sim/Attack.h describes, through the bus as a processor would
// (configuration ports, window memory), and watches what the SMI handler
// does at the lock address the image was built for.
//
//   sim::Attacker attacker(platform);
//   attacker.Begin(attack::kMoveWindow);
//   sim::Attacker::Round r = attacker.Clear();  // one round
//   attacker.End();                             // the window and lock as the firmware left them
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Attack.h"
#include "sim/Platform.h"

namespace sim {

class Attacker {
 public:
  explicit Attacker(Platform &platform);
  ~Attacker();

  struct Round {
    bool smi = false;             // the clear raised an SMI that was taken
    bool relocked = false;        // the lock read back set where the attacker cleared it
    bool relockedLegacy = false;  // ... and through the legacy ports
    uint32_t cf8Left = 0, cf8Found = 0;
    uint8_t lockBefore = 0, lockAfter = 0;  // before the clear; after the SMI, through the legacy ports
    std::vector<Access> handlerAtLock;  // the handler's accesses at the image's lock address
  };

  // False: a round is the clear alone (read, write), and the lock is judged
  // by the bridge's register without a read-back, as the main job's plain
  // run has always done.
  bool readBack = true;

  void Begin(attack::Kind kind);
  Round Clear();
  void End();

 private:
  uint32_t ConfigRead32(uint32_t address);
  void ConfigWrite32(uint32_t address, uint32_t value);
  uint8_t LockByte();  // where the attack reaches the lock
  void WriteLockByte(uint8_t value);
  uint8_t LegacyLockByte();

  Platform &platform_;
  attack::Kind kind_ = attack::kClear;
  uint64_t base_;
  uint8_t lockAtBegin_ = 0;
  std::vector<Access> *watching_ = nullptr;
  std::function<void(const Access &)> outer_;
};

}  // namespace sim
