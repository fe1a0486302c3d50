// Every CPU's way through an SMI, as an SMM core's: each CPU that enters SMM
// says it arrived; the first to arrive dispatches, once every CPU it expects
// is in (or a bounded wait is over: a CPU that never came is recorded, not
// waited for without end), and the others wait in SMM until it releases
// them; then all leave through RSM.
//
// Which CPUs to expect: until the program outside SMM says every CPU is
// relocated and SMI broadcast is negotiated (APM_MP_READY), an SMI brings
// in one CPU, and the rendezvous waits for no other; from that SMI on, it
// waits for every CPU it has seen enter SMM at its SMBASE in TSEG.
//
// Only one dispatch per SMI: a CPU that comes in after the release (late, or
// woken by the SMI it already served) finds no SMI raised since the last
// dispatch (the mailbox's count, bumped before each APM write, stands in for
// a source's status bit) and leaves.
//
// A CPU is also checked on every entry against the others' SMBASEs: two
// whose state save maps overlap end the run with a report before either
// leaves SMM with the other's state.
#include "Guest.h"

using namespace guest;

extern guest::SmmHeader gSmmHeader;

extern "C" {
void SmiDispatch(uint32_t cpu, uint32_t cpus);
void SmiRendezvous(uint32_t cpu, uint32_t smbase);
}

namespace {

// A wait ends only when both its tick bound and its poll count are past: a
// host that stops QEMU for a while does not make a CPU late.
constexpr uint64_t kArrivalPolls = 100'000, kReleasePolls = 1'000'000;

// The current round: its number in the high half, the CPUs in (a bit per
// APIC ID) in the low byte; one word, so a CPU learns both at once.
uint64_t gRound;
constexpr uint64_t kArrivedBits = (1u << MAX_CPUS) - 1;
uint32_t gSeenMask;      // CPUs seen entering at an SMBASE in TSEG
uint32_t gExpectedMask;  // CPUs the rendezvous waits for
uint32_t gSmbase[MAX_CPUS];
uint32_t gDispatchedRaise;  // the mailbox's raise count when the last SMI was dispatched
bool gMpReady;

MpMailbox &Mp() { return reinterpret_cast<Mailbox *>(gSmmHeader.mailbox)->mp; }

uint64_t Ticks() {
  uint32_t low, high;
  asm volatile("rdtsc" : "=a"(low), "=d"(high));
  return uint64_t{high} << 32 | low;
}

void Pause() { asm volatile("pause"); }

[[noreturn]] void FailMp(const char *what, uint32_t cpu, uint32_t other, uint32_t smbase) {
  Line<report::MpFault>()
      .Text(report::MpFault::kWhere, "smm")
      .Text(report::MpFault::kWhat, what)
      .Dec(report::MpFault::kCpu, cpu)
      .Dec(report::MpFault::kOther, other)
      .Hex(report::MpFault::kSmbase, smbase);
  Line<report::Result>().Text(report::Result::kVerdict, "fail").Text(report::Result::kReason, "mp-fault");
  Exit(EXIT_FAIL);
}

// This CPU's SMBASE, as its entry found it, against every other CPU's.
void CheckSmbase(uint32_t cpu, uint32_t smbase) {
  MpMailbox &mp = Mp();
  const uint32_t seen = __atomic_load_n(&gSeenMask, __ATOMIC_ACQUIRE);
  if ((seen & 1u << cpu) != 0 && gSmbase[cpu] == smbase) return;
  for (uint32_t other = 0; other < MAX_CPUS; ++other) {
    if (other == cpu || (seen & 1u << other) == 0) continue;
    const uint32_t apart = smbase > gSmbase[other] ? smbase - gSmbase[other] : gSmbase[other] - smbase;
    if (apart < SMBASE_STRIDE) {
      mp.sharedSmbase = 1;
      FailMp("two-cpus-share-an-smbase", cpu, other, smbase);
    }
  }
  gSmbase[cpu] = smbase;
  mp.cpu[cpu].smbase = smbase;
  __atomic_fetch_or(&gSeenMask, 1u << cpu, __ATOMIC_RELEASE);
  mp.cpusSeen = static_cast<uint32_t>(__builtin_popcount(gSeenMask));
}

}  // namespace

extern "C" void SmiRendezvous(uint32_t cpu, uint32_t smbase) {
  MpMailbox &mp = Mp();
  CheckSmbase(cpu, smbase);
  const uint64_t round = __atomic_fetch_or(&gRound, uint64_t{1} << cpu, __ATOMIC_ACQ_REL);
  if (gMpReady) ++mp.cpu[cpu].arrivals;

  if ((round & kArrivedBits) != 0) {
    // Another CPU dispatches: wait in SMM until it is done.
    const uint64_t start = Ticks();
    for (uint64_t polls = 0; __atomic_load_n(&gRound, __ATOMIC_ACQUIRE) >> 32 == round >> 32; ++polls) {
      if (polls > kReleasePolls && Ticks() - start > RENDEZVOUS_RELEASE_TICKS)
        FailMp("never-released-from-the-rendezvous", cpu, cpu, smbase);
      Pause();
    }
    return;
  }

  const uint32_t raised = __atomic_load_n(&mp.raised, __ATOMIC_ACQUIRE);
  const bool pending = raised != gDispatchedRaise;
  const uint32_t expected = gExpectedMask;
  if (pending && gMpReady) {
    const uint64_t start = Ticks();
    for (uint64_t polls = 0; (__atomic_load_n(&gRound, __ATOMIC_ACQUIRE) & expected) != expected; ++polls) {
      if (polls > kArrivalPolls && Ticks() - start > RENDEZVOUS_ARRIVAL_TICKS) break;
      Pause();
    }
  }
  if (pending) {
    gDispatchedRaise = raised;
    const bool mpReady = gMpReady;
    const uint8_t command = In8(APM_CONTROL_PORT);
    SmiDispatch(cpu, static_cast<uint32_t>(__builtin_popcount(mpReady ? expected : gSeenMask)));
    ++mp.cpu[cpu].dispatched;
    if (command == APM_MP_READY && !gMpReady) {
      gExpectedMask = gSeenMask;
      gMpReady = true;
      mp.expected = static_cast<uint32_t>(__builtin_popcount(gExpectedMask));
    }
    if (mpReady) {
      const uint32_t arrived = static_cast<uint32_t>(__atomic_load_n(&gRound, __ATOMIC_ACQUIRE) & kArrivedBits);
      ++mp.rendezvousSmis;
      if ((arrived & expected) == expected) {
        ++mp.complete;
      } else {
        mp.missingMask |= expected & ~arrived;
      }
    }
  }
  // Release: the next SMI starts a new round.
  __atomic_store_n(&gRound, ((round >> 32) + 1) << 32, __ATOMIC_RELEASE);
}
