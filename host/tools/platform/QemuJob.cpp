#include "QemuJob.h"

#include <cstdio>

#include "Report.h"
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
  qemu::Settings s;
  s.imagePath = image;
  s.printLevel = o.printLevel;
  s.cmos = o.cmos;  // default: the rate the image's board selects
  s.attempts = o.attempts;
  s.trace = o.trace;
  s.timeoutSeconds = 60 + o.attempts / 10000.0;  // a run takes a second or so; far more is a hang
  const qemu::Outcome run = qemu::Run(s);

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
  PrintConsole(run.console, o);
  report.Print();
  if (o.trace) {
    sim::TraceListing listing;
    listing.Mark("boot: ModuleEntryPoint, called in SMM by the guest's dispatcher");
    for (const sim::Access &a : run.bootTrace) listing.Add(a);
    listing.Mark("boot: the entry returned");
    for (size_t i = 0; i < run.smiTraces.size(); ++i) {
      listing.Mark("attempt " + std::to_string(i + 1) + ": the unlock SMI's handler (QEMU's log of its accesses)");
      for (const sim::Access &a : run.smiTraces[i]) listing.Add(a);
    }
    std::printf(
        "== register accesses as QEMU logged them: %zu (runs of one repeated access shown once, with "
        "their count)\n",
        listing.Accesses());
    std::fputs(listing.Text().c_str(), stdout);
  }
  const EFI_STATUS status = run.Number(report::Entry::kStatus).value_or(harness::kHarnessFault);
  std::printf("%s\n", report
                          .Summary(o.attempts, static_cast<int>(run.Number(report::Attack::kSmis).value_or(0)), status,
                                   run.wallSeconds)
                          .c_str());
  return report.Defended(o.attempts, status) ? kExitDefended : kExitFailed;
}

}  // namespace tool
