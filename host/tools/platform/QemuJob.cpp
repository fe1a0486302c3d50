#include "QemuJob.h"

#include <cstdlib>
#include <cstdio>
#include <optional>

#include "Attacks.h"
#include "Report.h"
#include "harness/Confinement.h"
#include "qemu/QemuRun.h"
#include "sim/TraceText.h"

namespace tool {

namespace {

// Why the q35 guest cannot host the board the image was built for, if it cannot.
std::string UnfitForQ35(const sim::BoardLayout &board) {
  char text[320];
  if (!board.pciPath.empty() || board.uartMmio) {
    std::snprintf(text, sizeof text,
                  "the image's board (%s) puts its console on a %sUART at 0x%llX%s; QEMU's q35 machine has no such "
                  "device there (its console is the 16550 at port 0x3F8): run it without --qemu",
                  board.name.c_str(), board.uartMmio ? "memory-mapped " : "",
                  static_cast<unsigned long long>(board.uartBase),
                  board.pciPath.empty() ? "" : ", a PCI UART behind bridges");
    return text;
  }
  if (board.uartBase != 0x3F8) {
    std::snprintf(text, sizeof text,
                  "the image's board (%s) puts its console at port 0x%llX; QEMU's q35 machine has its 16550 at 0x3F8",
                  board.name.c_str(), static_cast<unsigned long long>(board.uartBase));
    return text;
  }
  const uint64_t base = board.pciExpressBase;
  if ((base & 0x0FFFFFFF) != 0 || base < 0x20000000 || base > 0xE0000000) {
    std::snprintf(text, sizeof text,
                  "the image's board (%s) puts the PCI Express window at 0x%llX; the q35 guest takes windows from "
                  "0x20000000 to 0xE0000000 in 256 MiB steps (above its RAM, below the chipset's own ranges)",
                  board.name.c_str(), static_cast<unsigned long long>(base));
    return text;
  }
  return {};
}

// The handler's device accesses as QEMU logged them, judged by the rules the
// simulator applies to the same accesses: any port, any memory-mapped access
// but one byte at the lock, and a lock write other than the value read
// with bit 0 set are violations.  A board with the window check may also use
// the configuration ports (the emulator checks which registers it selects).
class LogJudge {
 public:
  LogJudge(uint64_t lockAddress, Report &report, bool windowCheck = false)
      : lockAddress_(lockAddress), report_(report), windowCheck_(windowCheck) {}
  void Window(uint64_t window) {
    window_ = window;
    lockRead_.reset();
  }
  void Access(const sim::Access &a) {
    if (window_ == 0) return;  // the entry may touch what it brings up
    const bool write = a.dir == sim::Dir::Write;
    if (windowCheck_ && a.space == sim::Space::Io && a.address >= 0xCF8 && a.address <= 0xCFF) return;
    std::string what;
    if (const auto kind = harness::CheckDeviceAccess(a.space == sim::Space::Io, a.address, a.width, write,
                                                     lockAddress_, what)) {
      report_.LogViolation(window_, *kind, what);
      return;
    }
    if (!write) {
      lockRead_ = static_cast<uint8_t>(a.value);
      return;
    }
    if (const auto breach = harness::LockWriteBreach(lockRead_, a.value))
      report_.LogViolation(window_, harness::ViolationKind::LockValue, *breach);
    lockRead_ = static_cast<uint8_t>(a.value);
  }

 private:
  uint64_t lockAddress_;
  Report &report_;
  bool windowCheck_;
  uint64_t window_ = 0;
  std::optional<uint8_t> lockRead_;
};

// The named attacks, one QEMU run each; judged as on the simulator (Attacks.h).
int RunAttacksOnQemu(const Options &o, const std::string &image, const sim::BoardLayout &board) {
  Report report;
  pe::MapFile map;
  map.Read(pe::MapPathFor(image));
  std::vector<AttackOutcome> outcomes;
  std::string console;
  EFI_STATUS status = EFI_SUCCESS;
  int rounds = 0, smis = 0;
  double seconds = 0;
  std::vector<uint64_t> polls;  // per attack: the attacker's most polls between raising an SMI and its taking
  for (const attack::Kind kind : o.attacks) {
    LogJudge judge(board.GpioLockAddress(), report, board.windowCheck);
    std::vector<std::vector<sim::Access>> atLock;  // per SMI: the handler's accesses at the image's lock address
    qemu::Settings s;
    s.onWindow = [&](uint64_t window) {
      judge.Window(window);
      if (window != 0) atLock.emplace_back();
    };
    s.onAccess = [&](uint64_t window, const sim::Access &a) {
      judge.Access(a);
      if (window != 0 && a.space == sim::Space::Mem && a.address == board.GpioLockAddress()) atLock.back().push_back(a);
    };
    s.imagePath = image;
    s.printLevel = o.printLevel;
    s.cmos = o.cmos;
    s.attempts = o.attempts;
    s.cpus = o.cpus.value_or(2);
    s.cpu1Attempts = 0;
    s.attack = kind;
    s.timeoutSeconds = 60 + (o.attempts * s.cpus + 4999) / 5000;
    const qemu::Outcome run = qemu::Run(s);
    if (!run.Ran() || run.Number(report::Image::kLoaded) == 0u) {
      std::fprintf(stderr, "vexa-platform: %s: %s\n", attack::kNames[kind],
                   run.fault.empty() ? run.Text(report::Image::kError).c_str() : run.fault.c_str());
      return kExitCouldNotRun;
    }
    const int done = static_cast<int>(run.Number(report::Named::kRounds).value_or(0));
    report.TakeQemuRun(run, map, done);
    AttackOutcome out;
    out.kind = kind;
    out.attempts = o.attempts;
    out.rounds = done;
    out.relocked = static_cast<int>(run.Number(report::Named::kRelocked).value_or(0));
    out.smiMissing = run.Number(report::Named::kSmis).value_or(0) < static_cast<uint64_t>(done);
    if (run.Has(report::Named::kCf8Found)) {
      out.cf8Left = static_cast<uint32_t>(run.Number(report::Named::kCf8Left).value_or(0));
      out.cf8Changed = static_cast<uint32_t>(run.Number(report::Named::kCf8Found).value_or(0));
    }
    if (run.Has(report::Named::kLockAfter))
      out.otherBitsChanged = std::make_pair(static_cast<uint8_t>(run.Number(report::Named::kLockBefore).value_or(0)),
                                            static_cast<uint8_t>(run.Number(report::Named::kLockAfter).value_or(0)));
    if (out.relocked < done && static_cast<size_t>(done) <= atLock.size()) {
      out.handlerSeen = true;
      out.memoryUnlogged = true;
      for (const sim::Access &a : atLock[static_cast<size_t>(done) - 1])
        (a.dir == sim::Dir::Read ? out.handlerReads : out.handlerWrites).push_back(static_cast<uint8_t>(a.value));
    }
    outcomes.push_back(out);
    polls.push_back(run.Number(report::Named::kPolls).value_or(0));
    if (console.empty()) console = run.console;
    if (outcomes.size() == 1) status = run.Number(report::Entry::kStatus).value_or(harness::kHarnessFault);
    rounds += done;
    smis += static_cast<int>(run.Number(report::Attack::kSmis).value_or(0));
    seconds += run.wallSeconds;
  }
  for (const AttackOutcome &out : outcomes)
    for (std::string &line : AttackFindings(out, board.pciExpressBase)) report.AttackFinding(std::move(line));
  std::printf("== image %s in SMM on QEMU's q35 machine, one run per attack\n", ShownPath(image).c_str());
  for (size_t i = 0; i < outcomes.size(); ++i)
    std::printf("== %s: the attacker's most polls between raising an unlock SMI and its entry into SMM: %llu\n",
                attack::kNames[outcomes[i].kind], static_cast<unsigned long long>(polls[i]));
  PrintConsole(console, o);
  report.Print();
  std::printf("%s; %s\n", report.Summary(rounds, smis, status, seconds).c_str(), AttackSummary(outcomes).c_str());
  return report.Defended(rounds, status) ? kExitDefended : kExitFailed;
}

}  // namespace

int RunOnQemu(const Options &o, const std::string &image) {
  pe::MapFile boardMap;
  sim::BoardLayout board;
  std::string error;
  if (boardMap.Read(pe::MapPathFor(image)) && !boardMap.BoardSettings().empty() &&
      sim::BoardLayoutFrom(boardMap.BoardSettings(), board, error)) {
    const std::string unfit = UnfitForQ35(board);
    if (!unfit.empty()) {
      std::fprintf(stderr, "vexa-platform: %s\n", unfit.c_str());
      return kExitCouldNotRun;
    }
  }

  if (!o.attacks.empty()) return RunAttacksOnQemu(o, image, board);

  // QEMU's log is judged, counted and listed as it is read.
  Report report;
  LogJudge judge(board.GpioLockAddress(), report);
  const int cpus = o.cpus.value_or(2);
  const int cpu1Attempts = cpus > 1 ? o.attempts : 0;  // CPU 1 attacks too, while CPU 0 is busy
  Progress progress(static_cast<uint64_t>(o.attempts + cpu1Attempts));
  sim::TraceListing listing;
  const Spool spool(o.trace);
  if (o.trace) {
    if (spool.file == nullptr) {
      std::fprintf(stderr, "vexa-platform: cannot make a temporary file for the trace\n");
      return kExitCouldNotRun;
    }
    listing.StreamTo(spool.file);
  }
  bool entryReturned = false;
  qemu::Settings s;
  s.onWindow = [&](uint64_t window) {
    judge.Window(window);
    if (window != 0) progress.Update(window);
    if (!o.trace) return;
    if (window == 0) {
      listing.Mark("boot: ModuleEntryPoint, called in SMM by the guest's dispatcher");
      return;
    }
    if (!entryReturned) listing.Mark("boot: the entry returned");
    entryReturned = true;
    const bool cpu0 = window <= static_cast<uint64_t>(o.attempts);  // then CPU 1's attempts
    listing.Mark((cpu0 ? "attempt " + std::to_string(window) : "CPU 1's attempt " + std::to_string(window - o.attempts)) +
                 ": the unlock SMI's handler (QEMU's log of its accesses)");
  };
  s.onAccess = [&](uint64_t, const sim::Access &a) {
    judge.Access(a);
    if (o.trace) listing.Add(a);
  };
  s.imagePath = image;
  s.printLevel = o.printLevel;
  s.cmos = o.cmos;  // default: the rate the image's board selects
  s.attempts = o.attempts;
  s.trace = o.trace;
  s.cpus = cpus;
  s.cpu1Attempts = cpu1Attempts;
  // For the rig's own tests and for debugging the rig: words appended to the
  // guest's command line (see host/qemu/guest/outside/Main.cpp).
  if (const char *words = std::getenv("VEXA_QEMU_GUEST_ARGUMENTS")) s.guestArguments = words;
  // A run takes a second or so; far more is a hang.  Each SMI brings every
  // CPU in, so the bound grows with the CPUs as with the SMIs.  Whole
  // seconds, so the bound reads as it is.
  s.timeoutSeconds = 60 + ((o.attempts + s.cpu1Attempts) * s.cpus + 4999) / 5000;
  s.gdb = static_cast<qemu::Settings::Gdb>(o.gdb);
  s.breakAt = o.breakAt;
  const std::string where = o.breakAt.empty() ? "GpioUnlockSmiHandler" : o.breakAt;
  if (o.gdb == Options::Gdb::Terminal)
    std::printf("== QEMU paused under gdb: it stops at %s once the guest has loaded the image in SMRAM\n",
                where.c_str());
  s.attach = [&](const std::string &command) {
    std::printf("== QEMU paused, waiting for gdb; from another terminal:\n%s\n", command.c_str());
    std::fflush(stdout);
  };
  std::fflush(stdout);
  const qemu::Outcome run = qemu::Run(s);
  if (o.gdb == Options::Gdb::Batch && run.end != qemu::Outcome::End::NotRun) {
    // gdb's lines from the load on (before it, only its connection notes),
    // without the note that the connection closed when QEMU exited.
    std::string log = run.gdbLog;
    const size_t from = log.find("== image loaded");
    log.erase(0, from == std::string::npos ? 0 : from);
    const size_t closed = log.rfind(": Error in sourced command file:\nRemote connection closed\n");
    if (closed != std::string::npos) log.erase(log.rfind('\n', closed) + 1);
    std::printf("== gdb, stopping at %s\n%s", where.c_str(), log.c_str());
  }

  // Nothing to judge: QEMU did not start, or the guest could not load the image.
  const bool guestSpoke = !run.Text(report::Guest::kProgram).empty();
  if (run.end == qemu::Outcome::End::NotRun || (run.end == qemu::Outcome::End::Crashed && !guestSpoke)) {
    std::fprintf(stderr, "vexa-platform: %s\n", run.fault.c_str());
    return kExitCouldNotRun;
  }
  if (run.Number(report::Image::kLoaded) == 0u) {
    std::fprintf(stderr, "vexa-platform: the guest could not load %s: %s\n", ShownPath(image).c_str(),
                 run.Text(report::Image::kError).c_str());
    return kExitCouldNotRun;
  }

  pe::MapFile map;
  map.Read(pe::MapPathFor(image));  // without it, findings name offsets instead of functions
  report.TakeQemuRun(run, map, o.attempts);
  std::printf("== image %s in SMM on QEMU's q35 machine\n", ShownPath(image).c_str());
  std::printf("== %s\n", ConsoleBanner(run, 0x3F8).c_str());
  if (s.cpus > 1) std::printf("== %s\n", CpusBanner(run).c_str());
  if (run.Has(report::Cpu1::kAttempts)) std::printf("== %s\n", Cpu1Banner(run).c_str());
  PrintConsole(run.console, o);
  report.Print();
  if (o.trace) {
    if (!entryReturned) listing.Mark("boot: the entry returned");
    listing.Finish();
    std::printf(
        "== register accesses as QEMU logged them: %zu (runs of one repeated access shown once, with "
        "their count)\n",
        listing.Accesses());
    spool.CopyTo(stdout);
  }
  if (o.gdb == Options::Gdb::Batch && run.gdbLog.find("Breakpoint 2, ") == std::string::npos) {
    std::fprintf(stderr, "vexa-platform: gdb never stopped at %s (its lines above say why)\n", where.c_str());
    return kExitCouldNotRun;
  }
  const EFI_STATUS status = run.Number(report::Entry::kStatus).value_or(harness::kHarnessFault);
  std::printf("%s\n", report
                          .Summary(o.attempts, static_cast<int>(run.Number(report::Attack::kSmis).value_or(0)), status,
                                   run.wallSeconds)
                          .c_str());
  return report.Defended(o.attempts, status) ? kExitDefended : kExitFailed;
}

}  // namespace tool
