// Several CPUs: the part of the mailbox (outside SMRAM) through which the
// program outside SMM, its other CPUs and the SMRAM program's rendezvous
// talk.  Indexed by local APIC ID.
#pragma once

#include <stdint.h>

#include "MpLayout.h"

namespace guest {

// One CPU's fields.  `command` and `commandSequence` come from CPU 0; the
// rest the CPU itself writes, outside SMM or in it.
struct CpuSlot {
  uint32_t running;         // it reached 64-bit code outside SMM
  uint32_t command;         // what CPU 0 asks of it (CpuCommand)
  uint32_t commandSequence; // bumped with each request; `done` follows it
  uint32_t done;
  uint32_t smbase;          // in SMM, as its code segment at the SMI entry gives it
  uint32_t arrivals;        // SMM entries since the rendezvous began counting
  uint32_t dispatched;      // SMIs it dispatched
  uint32_t acked;           // the request it has taken up
};

enum CpuCommand : uint32_t { kCpuIdle = 0, kCpuAttack = 1 };

struct MpMailbox {
  // Set by the program outside SMM.
  uint32_t raised;  // SMIs raised from outside, each counted before its APM write
  uint32_t attackAttempts;
  uint64_t lockAddress;
  // Set by the rendezvous in SMRAM.
  uint32_t cpusSeen;         // CPUs that entered SMM at an SMBASE in TSEG
  uint32_t expected;         // CPUs the rendezvous waits for (1 until broadcast)
  uint32_t rendezvousSmis;   // SMIs dispatched since then
  uint32_t complete;         // of them, with every expected CPU in
  uint32_t missingMask;      // CPUs missing from one rendezvous or more
  uint32_t smstCpus, smstExecuting;  // the SMST's CPU count and executing CPU, at the last handler call
  uint32_t sharedSmbase;         // two CPUs came in with state save maps that overlap
  // CPU 1's attack, written by CPU 1.
  uint32_t relocked, taken, clearReads, mostClearReads;
  uint64_t cpu0Busy;  // CPU 0's loop turns meanwhile
  CpuSlot cpu[MAX_CPUS];
};

}  // namespace guest
