// The QEMU rig: runs the driver image, unchanged, in real SMM on QEMU's q35
// machine through the guest program (host/qemu/guest), and reads back what
// happened.
//
// Contract:
//   qemu::Settings s;  s.imagePath = ...;  s.attempts = 1000;
//   qemu::Outcome o = qemu::Run(s);
//   o.end says how the run ended; o.Number(report::Entry::kStatus) and
//   friends give the guest's report (its topics and keys: qemu/Report.h); o.console is the serial port's bytes; with
//   s.trace, o.bootTrace and o.smiTraces are the driver's own register accesses as QEMU logged them.
//
// The image reaches the guest as QEMU's -initrd (the PVH start info's first
// module), with its size and CRC-32 on the command line; the dispatcher in
// SMRAM checks them before loading.  The print level goes in through the
// image's map, as in the Unicorn harness.  Each run has a wall-clock bound:
// past it QEMU is killed and the outcome says so.
//
// With s.gdb, QEMU starts paused with its gdbstub on a free local port, and a
// gdb command file (GdbSession.h) connects, waits for the dispatcher to load
// the image, loads the image's debug companion (VexaGpioUnlockSmm.debug,
// beside it) at that address and stops at s.breakAt: gdb then runs in the
// terminal, or waits for the user's own gdb, or runs the file alone (batch).
// Only batch runs keep the wall-clock bound.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qemu/Report.h"
#include "sim/BoardLayout.h"
#include "sim/Bus.h"

namespace qemu {

struct Settings {
  std::string imagePath;               // the driver image; its map lies beside it (pe::MapPathFor)
  bool loadDriver = true;              // false: the negative control, the same run without the driver
  std::optional<uint32_t> printLevel;  // the driver's print-level variable (default: as the image has it)
  std::optional<uint8_t> cmos;         // CMOS byte 0x6F before the entry (default: the image's board's rate)
  // Where PCIEXBAR puts the PCI Express window (default: the base the image's
  // board settings, recorded in its map, give; the configured board's without a record).
  std::optional<uint64_t> pciExpressBase;
  int attempts = 10;   // attacker clears, each followed by the unlock SMI
  int idleSmis = 0;    // unlock SMIs with the lock left set
  bool serial = true;  // false: no UART at all (-serial none: its ports read all ones)
  bool protectionChecks = false;
  bool trace = false;  // log the driver's register accesses
  // CPUs in the machine (-smp).  The guest starts them all, relocates each
  // one's SMBASE into TSEG and negotiates SMI broadcast, so that every SMI
  // brings every CPU into SMM.
  int cpus = 2;
  // With several CPUs: clears by the attacker on CPU 1, each followed by the
  // unlock SMI raised there while CPU 0 is busy, and a read loop until the
  // lock reads set again.
  int cpu1Attempts = 0;
  // A named attack (sim/Attack.h's kind) instead of the plain clears: the
  // guest's attacker makes it for up to `attempts` rounds.
  std::optional<int> attack;
  bool smmEntries = false;     // log where each CPU enters SMM (QEMU's exec log, cut to TSEG's entry area)
  // Called as QEMU's log of device accesses is read, while QEMU runs: a
  // window of the driver's own code opens (0: the entry, n: the n-th handler
  // call), and each access in it.  With either set, the log is read as it is
  // written and the outcome keeps no trace (the memory stays flat whatever
  // the run's length).
  std::function<void(uint64_t window)> onWindow;
  std::function<void(uint64_t window, const sim::Access &)> onAccess;
  std::string guestArguments;  // appended to the guest's command line (later words win)
  double timeoutSeconds = 30;
  std::string qemuPath;   // default: the qemu-system-x86_64 the build found
  std::string guestPath;  // default: the guest this build produced

  enum class Gdb { Off, Terminal, Wait, Batch };
  Gdb gdb = Gdb::Off;
  std::string breakAt;              // a function or FILE:LINE of the module (default: the SMI handler)
  std::vector<std::string> atStop;  // Batch: gdb commands run where it stopped, before it goes on
  std::function<void(const std::string &command)> attach;  // Wait: told the command that attaches gdb
  std::string gdbPath;                                     // default: the gdb the build found
};

struct Outcome {
  enum class End {
    Passed,    // the guest ran to its end and every check that applies held
    Failed,    // the guest ran to its end (or reported an exception) and a check failed
    Crashed,   // QEMU stopped without the guest's exit (a reset, a QEMU error)
    TimedOut,  // killed at the wall-clock bound
    NotRun,    // the run could not start (no QEMU, no image, no map)
  };
  End end = End::NotRun;
  std::string fault;       // why, for every end but Passed
  double wallSeconds = 0;  // QEMU's run, start to exit
  std::string report;      // the guest's debug console, as printed
  std::string console;     // the serial port's bytes
  std::string gdbLog;      // Batch: gdb's output
  std::vector<std::string> failedChecks;

  std::vector<sim::Access> bootTrace;               // entry's first access to its return
  std::vector<std::vector<sim::Access>> smiTraces;  // one per handler call
  size_t traceEvents = 0;                           // QEMU trace lines read, all of the run
  // With smmEntries: per CPU index, the SMBASE of each SMM entry in TSEG, in
  // order (the code segment's base of the block at SMBASE + 0x8000).
  std::map<int, std::vector<uint64_t>> smmEntryBases;

  // A report field as a number (report::Entry::kStatus, report::Attack::kRelocked),
  // as text, or whether the report has it at all.
  std::optional<uint64_t> Number(report::Field field) const;
  std::string Text(report::Field field) const;
  bool Has(report::Field field) const;
  bool Ran() const { return end == End::Passed || end == End::Failed; }

  // Takes in the guest's report: `report`, its fields and failed checks.
  void ReadReport(const std::string &text);

 private:
  std::map<std::string, std::string> fields_;  // "topic.key" -> value, the last one given
};

const char *EndName(Outcome::End end);

Outcome Run(const Settings &settings);

// The default guest and QEMU (as found at configure time).
std::string DefaultGuest();
std::string DefaultQemu();

// QEMU's memory_region_ops_read/write log read a line at a time, cut to the
// driver's windows (the guest's marker writes open and close them), each
// access named as the simulator names it.
class TraceReader {
 public:
  explicit TraceReader(const sim::BoardLayout &board);
  ~TraceReader();
  TraceReader(const TraceReader &) = delete;
  TraceReader &operator=(const TraceReader &) = delete;

  std::function<void(uint64_t window)> onWindow;
  std::function<void(uint64_t window, const sim::Access &)> onAccess;
  void Line(const std::string &line);
  size_t events = 0;         // trace lines read
  uint64_t handlerCalls = 0;  // windows of handler calls opened so far

 private:
  std::unique_ptr<struct TraceNames> names_;
  bool open_ = false;
  uint64_t window_ = 0;
  int windowCpu_ = -1;  // the CPU that opened the window: the others' accesses meanwhile are not the driver's
};

// QEMU's memory_region_ops_read/write log, cut to the driver's windows (the
// guest's marker writes are recognised and dropped; inside a window only the
// accesses of the CPU that wrote its opening marker count).  Register names are
// filled in by replaying the accesses on a simulated platform's devices,
// laid out as the board is.
void ParseTrace(const std::string &log, std::vector<sim::Access> &boot, std::vector<std::vector<sim::Access>> &smis,
                size_t &events, const sim::BoardLayout &board = {});

// QEMU's exec log ("Trace CPU: host [cs-base/pc/flags/cflags]"): the SMM
// entries, blocks run in SMM at their code segment's base + 0x8000, per CPU.
std::map<int, std::vector<uint64_t>> ParseSmmEntries(const std::string &log);

}  // namespace qemu
