// What the main job tells a firmware engineer: the console, every finding
// (a fault, a confinement violation, a breakpoint, an unlock left undone)
// with where and in which SMI it happened, and a summary whose counts and
// exit status never call a failure a success.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Uefi.h"
#include "harness/ImageRun.h"
#include "pe/MapFile.h"
#include "qemu/QemuRun.h"
#include "sim/Platform.h"

namespace tool {

std::string StatusText(EFI_STATUS status);
// A path as a user would type it here: relative when it lies below the current folder.
std::string ShownPath(const std::string &path);
// "serial console at 0x3F8: 115200 baud 8N1, FIFOs on", or that it was never programmed.
std::string ConsoleBanner(const sim::Uart16550 &uart, const sim::BoardLayout &layout);
// --about: the image, its size, and the board settings its map records.
int PrintAbout(const std::string &image, const std::string &mapPath, bool haveMap, const pe::MapFile &map);
// The same for the UART the QEMU guest read back ("uart.lcr", "uart.divisor", "uart.iir").
std::string ConsoleBanner(const qemu::Outcome &run, uint16_t base);
// The CPUs of a QEMU run with several: their SMBASEs, and the rendezvous.
std::string CpusBanner(const qemu::Outcome &run);
std::string Cpu1Banner(const qemu::Outcome &run);
// The console as a terminal shows it, or why there is nothing on it.
void PrintConsole(const sim::Uart16550 &uart, const Options &o);
void PrintConsole(const std::string &sent, const Options &o);

// A temporary file that holds a long listing while the run goes on.
struct Spool {
  explicit Spool(bool wanted) : file(wanted ? std::tmpfile() : nullptr) {}
  ~Spool();
  Spool(const Spool &) = delete;
  Spool &operator=(const Spool &) = delete;
  void CopyTo(std::FILE *out) const;
  std::FILE *file;
};

// A line on stderr every two seconds or so of a long run: how many attempts
// are done, and how fast they go.  Quiet for a run that ends sooner.
class Progress {
 public:
  explicit Progress(uint64_t attempts);
  void Update(uint64_t done);  // cheap enough for every attempt

 private:
  uint64_t attempts_;
  double started_, next_;
};

class Report {
 public:
  // The platform just before an attempt, to tell afterwards why it was not undone.
  struct Before {
    bool locked;
    int smis;
    uint64_t handlerRuns;
    uint64_t faults;
  };
  Before Snapshot(const sim::Platform &platform, const harness::ImageRun *run) const;
  void Attempt(int attempt, const Before &before, const sim::Platform &platform, const harness::ImageRun *run);

  // The host build's breakpoints, counted by a signal handler (no location).
  void HostBreakpoints(int smi, int count);
  // The emulated image's faults, violations and breakpoints.
  void TakeFindings(const harness::ImageRun &run, const pe::MapFile &map);
  // A QEMU run's: the fault its guest reported in SMM (the run ends there),
  // the breakpoints its IDT counted and stepped over, the unlocks left undone.
  // QEMU has no confinement checks, so it finds no violations.
  void TakeQemuRun(const qemu::Outcome &run, const pe::MapFile &map, int attempts);
  // A violation seen in QEMU's log of the handler's device accesses, while
  // the run goes on (before TakeQemuRun); the log names no instruction.
  void LogViolation(uint64_t smi, harness::ViolationKind kind, const std::string &what);

  // A named attack's finding (Attacks.h); any one fails the run.
  void AttackFinding(std::string line);

  void Print() const;
  std::string Summary(int attempts, int smis, EFI_STATUS status, double seconds) const;
  bool Defended(int attempts, EFI_STATUS status) const;

  static constexpr size_t kLinesKept = 64;  // findings printed one by one; the rest are counted

 private:
  void Add(std::string line);

  std::vector<std::string> lines_;
  std::vector<std::string> logLines_;  // the first of LogViolation's
  size_t linesDropped_ = 0;
  uint64_t faults_ = 0, violations_ = 0, breakpoints_ = 0;
  int relocked_ = 0, undone_ = 0;
  int attackFindings_ = 0;
  int cpu1Undone_ = 0;  // with several CPUs: the attacker on CPU 1's clears left undone
};

}  // namespace tool
