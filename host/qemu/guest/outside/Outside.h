// What the program outside SMM's files share: its verdict, its SMIs, the
// SMRAM program's bytes, and the several-CPU phases (Mp.cpp).
#pragma once

#include "Guest.h"

extern "C" const uint8_t smm_program[], smm_program_end[];

namespace guest {

// A failed check makes the verdict "fail"; Finish reports the verdict (and
// why the run stopped early, if it did) and exits.
void Check(bool ok, const char *what);
[[noreturn]] void Finish(const char *reason);
// Raises an SMI through the APM port and waits until the dispatcher is done.
bool RaiseSmi(uint8_t command);
// Polls of the dispatcher's count the last RaiseSmi made before it changed
// (0: the SMI was taken before the first poll ran).
extern uint64_t gLastSmiPolls;

// Faults built on purpose (the mp-fault parameter).
enum MpFaultKind : uint32_t { kFaultNone = 0, kFaultNoBroadcast = 1, kFaultSameSmbase = 2 };

// Every CPU's SMI entry, copied from CPU 0's into TSEG (still plain RAM).
void InstallSmiEntries(const SmmHeader &header);
// Starts the other CPUs, relocates their SMBASEs, negotiates SMI broadcast
// and has the SMRAM program expect every CPU; reports each SMBASE.
void StartCpus(uint32_t cpus, uint32_t fault);
// CPU 1 clears the lock and raises the unlock SMI, `attempts` times, while
// CPU 0 keeps busy.
void AttackFromCpu1(uint64_t pcieBase, uint32_t attempts);
// A named attack (sim/Attack.h's kind) on the window at `base`, for up to
// `attempts` rounds; reports them (Attacks.cpp).
void NamedAttack(uint32_t kind, uint64_t base, uint64_t attempts);
// What the rendezvous counted.
void ReportRendezvous();

}  // namespace guest
