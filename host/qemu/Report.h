// The guest's report, as both sides compile it: the guest writes lines of
// "topic key=value ..." on QEMU's debug console, the rig reads them back.
// Every topic is a type and every key a constant of its topic, so the guest
// can only write, and the rig only ask for, a key that is declared here: a
// misspelt or misplaced key does not compile.  Freestanding: the guest's two
// programs include it too.
#pragma once

namespace report {

template <typename Topic>
struct Key {
  const char *name;
};

// A key of any topic, as the rig looks it up.  Made only from a declared key.
class Field {
 public:
  template <typename Topic>
  constexpr Field(Key<Topic> key) : topic(Topic::kName), name(key.name) {}  // NOLINT(google-explicit-constructor)
  const char *const topic;
  const char *const name;
};

// The first line: the guest started.
struct Guest {
  static constexpr const char *kName = "guest";
  static constexpr Key<Guest> kProgram{"program"};
};
// One line per check that did not hold (several may come).
struct Check {
  static constexpr const char *kName = "check";
  static constexpr Key<Check> kFailed{"failed"};
};
// The last line: the verdict, and why the run stopped early.
struct Result {
  static constexpr const char *kName = "result";
  static constexpr Key<Result> kVerdict{"verdict"}, kReason{"reason"};
};
// An SMI the guest raised was not taken.
struct Smi {
  static constexpr const char *kName = "smi";
  static constexpr Key<Smi> kTaken{"taken"}, kCommand{"command"};
};
struct Pciexbar {
  static constexpr const char *kName = "pciexbar";
  static constexpr Key<Pciexbar> kBase{"base"}, kLpcId{"lpc-id"};
};
struct Tseg {
  static constexpr const char *kName = "tseg";
  static constexpr Key<Tseg> kBase{"base"}, kSize{"size"}, kHidden{"hidden"};
};
// CPU 0's SMBASE as the dispatcher read it in its state save map; with
// several CPUs, each one's as its SMI entry found it (by APIC ID, commas).
struct Smbase {
  static constexpr const char *kName = "smbase";
  static constexpr Key<Smbase> kValue{"value"}, kCpus{"cpus"}, kMovedFrom{"moved-from"};
};
// Several CPUs: how many QEMU has and how many started, and the SMI broadcast
// negotiated with ICH9 (fw_cfg's etc/smi files).
struct Mp {
  static constexpr const char *kName = "mp";
  static constexpr Key<Mp> kCpus{"cpus"}, kStarted{"started"}, kApicIds{"apic-ids"},
      kSupportedFeatures{"supported-features"}, kRequestedFeatures{"requested-features"}, kFeaturesOk{"features-ok"};
};
// The rendezvous from the moment broadcast is on: SMIs dispatched, those
// with every CPU in, the CPUs missing from some, each CPU's SMM entries and
// dispatches (by APIC ID, commas), and the CPU count the SMST gave.
struct Rendezvous {
  static constexpr const char *kName = "rendezvous";
  static constexpr Key<Rendezvous> kCpus{"cpus"}, kSmis{"smis"}, kRaised{"raised"}, kComplete{"complete"},
      kMissing{"missing"}, kArrivals{"arrivals"}, kDispatched{"dispatched"}, kSmstCpus{"smst-cpus"},
      kSmstExecuting{"smst-executing"};
};
// The attacker on CPU 1, while CPU 0 is busy: clears, each followed by the
// unlock SMI raised there and reads of the lock until it reads set.
struct Cpu1 {
  static constexpr const char *kName = "cpu1";
  static constexpr Key<Cpu1> kAttempts{"attempts"}, kRelocked{"relocked"}, kSmis{"smis"}, kHandlerCalls{"handler-calls"},
      kClearReads{"clear-reads"}, kMostClearReads{"most-clear-reads"}, kCpu0Busy{"cpu0-busy"};
};
// A failure of the several-CPU set-up, found in SMM (what, the CPU, the
// other CPU involved, the SMBASE) or outside it.
struct MpFault {
  static constexpr const char *kName = "mp-fault";
  static constexpr Key<MpFault> kWhere{"where"}, kWhat{"what"}, kCpu{"cpu"}, kOther{"other"}, kSmbase{"smbase"};
};
// The driver's file, and its load into SMRAM.
struct Image {
  static constexpr const char *kName = "image";
  static constexpr Key<Image> kSize{"size"}, kCrc{"crc"}, kCrcInSmram{"crc-in-smram"}, kLoaded{"loaded"}, kBase{"base"},
      kError{"error"};
};
// The driver's entry point, as the dispatcher saw it.
struct Entry {
  static constexpr const char *kName = "entry";
  static constexpr Key<Entry> kStatus{"status"}, kInSmm{"in-smm"}, kInSmmCalls{"in-smm-calls"},
      kBreakpoints{"breakpoints"}, kRegistrations{"registrations"}, kSources{"sources"};
};
// The UART as the driver left it.
struct Uart {
  static constexpr const char *kName = "uart";
  static constexpr Key<Uart> kLcr{"lcr"}, kDivisor{"divisor"}, kIir{"iir"};
};
struct Smram {
  static constexpr const char *kName = "smram";
  static constexpr Key<Smram> kValue{"value"};
};
// The attacks; the handler's returns other than EFI_SUCCESS (how many, the
// first one and its SMI); whether the interrupted code's SSE state came
// back unchanged from every SMI; SMI_EN after them (EOS set by the last).
struct Attack {
  static constexpr const char *kName = "attack";
  static constexpr Key<Attack> kAttempts{"attempts"}, kRelocked{"relocked"}, kIdleSmis{"idle-smis"},
      kIdleLocked{"idle-locked"}, kSmis{"smis"}, kHandlerCalls{"handler-calls"}, kBreakpoints{"breakpoints"},
      kHandlerErrors{"handler-errors"}, kFirstHandlerError{"first-handler-error"},
      kFirstHandlerErrorSmi{"first-handler-error-smi"}, kSseKept{"sse-kept"}, kSmiEn{"smi-en"};
};
// The SMI sources the guest enabled itself: the ACPI I/O base and SMI_EN.
struct SmiSources {
  static constexpr const char *kName = "smi-sources";
  static constexpr Key<SmiSources> kPmBase{"pmbase"}, kSmiEn{"smi-en"};
};
// A named attack (sim/Attack.h): its kind and rounds, 0xCF8 when an SMI did
// not give it back, the lock's byte when an SMI changed its other bits, and
// whether the framebuffer answered at the old window (fake-window), and the
// most polls the attacker made after raising an SMI before it was done.
struct Named {
  static constexpr const char *kName = "named-attack";
  static constexpr Key<Named> kKind{"kind"}, kRounds{"rounds"}, kRelocked{"relocked"}, kSmis{"smis"},
      kCf8Left{"cf8-left"}, kCf8Found{"cf8-found"}, kLockBefore{"lock-before"}, kLockAfter{"lock-after"},
      kFramebuffer{"framebuffer"}, kPolls{"polls"};
};
struct Protection {
  static constexpr const char *kName = "protection";
  static constexpr Key<Protection> kVisibleBytes{"visible-bytes"}, kRelockedAfterWrites{"relocked-after-writes"},
      kSmramAfterReopen{"smram-after-reopen"}, kEsmramcAfterReopen{"esmramc-after-reopen"},
      kVisibleAfterReopen{"visible-after-reopen"}, kRelockedAfterReopen{"relocked-after-reopen"};
};
// An exception in either program ("where": outside or smm); in SMM, during
// the driver's entry ("during": boot) or its Nth unlock SMI (smi).
struct Exception {
  static constexpr const char *kName = "exception";
  static constexpr Key<Exception> kWhere{"where"}, kDuring{"during"}, kSmi{"smi"}, kVector{"vector"}, kError{"error"},
      kRip{"rip"}, kRva{"rva"}, kCr2{"cr2"}, kBootServicesTables{"boot-services-tables"};
};
// The driver called a firmware service it has no business calling.
struct Fault {
  static constexpr const char *kName = "fault";
  static constexpr Key<Fault> kWhere{"where"}, kDuring{"during"}, kSmi{"smi"}, kWhat{"what"}, kRva{"rva"};
};

}  // namespace report
