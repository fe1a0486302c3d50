#include "QemuJob.h"

#include <cstdio>

#include "Report.h"
#include "qemu/QemuRun.h"
#include "sim/TraceText.h"

namespace tool {

int RunOnQemu(const Options &o, const std::string &image) {
  qemu::Settings s;
  s.imagePath = image;
  s.printLevel = o.printLevel;
  s.cmos = o.cmos;  // default: the rate the image's board selects
  s.attempts = o.attempts;
  s.trace = o.trace;
  s.cpus = o.cpus.value_or(2);
  s.cpu1Attempts = s.cpus > 1 ? o.attempts : 0;
  s.timeoutSeconds = 60 + o.attempts / 10000.0;  // a run takes a second or so; far more is a hang
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
  Report report;
  report.TakeQemuRun(run, map, o.attempts);
  std::printf("== image %s in SMM on QEMU's q35 machine\n", ShownPath(image).c_str());
  std::printf("== %s\n", ConsoleBanner(run, 0x3F8).c_str());
  if (s.cpus > 1) std::printf("== %s\n", CpusBanner(run).c_str());
  if (run.Has(report::Cpu1::kAttempts)) std::printf("== %s\n", Cpu1Banner(run).c_str());
  PrintConsole(run.console, o);
  report.Print();
  if (o.trace) {
    sim::TraceListing listing;
    listing.Mark("boot: ModuleEntryPoint, called in SMM by the guest's dispatcher");
    for (const sim::Access &a : run.bootTrace) listing.Add(a);
    listing.Mark("boot: the entry returned");
    for (size_t i = 0; i < run.smiTraces.size(); ++i) {
      const bool cpu0 = i < static_cast<size_t>(o.attempts);
      listing.Mark((cpu0 ? "attempt " + std::to_string(i + 1) : "CPU 1's attempt " + std::to_string(i + 1 - o.attempts)) +
                   ": the unlock SMI's handler (QEMU's log of its accesses)");
      for (const sim::Access &a : run.smiTraces[i]) listing.Add(a);
    }
    std::printf(
        "== register accesses as QEMU logged them: %zu (runs of one repeated access shown once, with "
        "their count)\n",
        listing.Accesses());
    std::fputs(listing.Text().c_str(), stdout);
  }
  if (o.gdb == Options::Gdb::Batch && run.gdbLog.find("\nBreakpoint 2, ") == std::string::npos) {
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
