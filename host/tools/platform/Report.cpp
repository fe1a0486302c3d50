#include "Report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "Library/PrintLib.h"
#include "harness/HexText.h"
#include "pe/ImageFile.h"
#include "pe/PeReader.h"

namespace tool {

namespace {

std::string LineFormat(uint8_t lcr) {
  static const char parity[] = {'N', 'O', 'N', 'E', 'N', 'M', 'N', 'S'};
  char text[8];
  std::snprintf(text, sizeof text, "%d%c%d", 5 + (lcr & 3), parity[(lcr >> 3) & 7], (lcr & 4) ? 2 : 1);
  return text;
}

// "GpioUnlockSmiHandler+0x11" by the map; the address when the map does not know it.
std::string Where(uint64_t address, const pe::MapFile &map, uint64_t imageSize) {
  if (address >= harness::kImageBase && address - harness::kImageBase < imageSize) {
    const uint32_t rva = static_cast<uint32_t>(address - harness::kImageBase);
    if (const auto nearest = map.Nearest(rva))
      return nearest->first + (nearest->second != 0 ? "+" + harness::Hex(nearest->second) : std::string());
    return "image+" + harness::Hex(rva);
  }
  return harness::Hex(address);
}

std::string RunName(uint64_t run) { return run == 0 ? "boot" : "SMI " + std::to_string(run); }

// "GpioUnlockSmiHandler+0x11" for an offset in the image.
std::string WhereInImage(uint32_t rva, const pe::MapFile &map) {
  if (const auto nearest = map.Nearest(rva))
    return nearest->first + (nearest->second != 0 ? "+" + harness::Hex(nearest->second) : std::string());
  return "image+" + harness::Hex(rva);
}

// The guest's report words are joined by dashes.
std::string Words(std::string text) {
  for (char &c : text) c = c == '-' ? ' ' : c;
  return text;
}

}  // namespace

std::string StatusText(EFI_STATUS status) {
  if (status == harness::kHarnessFault) return "none: the run was stopped (see the findings)";
  CHAR8 name[64];
  AsciiSPrint(name, sizeof name, "%r", status);
  char text[96];
  std::snprintf(text, sizeof text, "%s (0x%016llX)", name, static_cast<unsigned long long>(status));
  return text;
}

std::string ShownPath(const std::string &path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  const std::filesystem::path here = std::filesystem::current_path(error);
  if (error) return path;
  const std::filesystem::path relative = absolute.lexically_relative(here);
  if (relative.empty() || *relative.begin() == "..") return path;
  return relative.string();
}

std::string ConsoleBanner(const sim::Uart16550 &uart, const sim::BoardLayout &layout) {
  char where[64];
  std::snprintf(where, sizeof where, "%s0x%llX%s", layout.uartMmio ? "memory " : "",
                static_cast<unsigned long long>(layout.uartBase),
                layout.pciPath.empty() ? "" : " (a PCI UART's empty BAR receives it)");
  char text[192];
  if (uart.Divisor() == 0) {
    std::snprintf(text, sizeof text, "serial console at %s: never programmed (divisor latch 0)", where);
  } else {
    std::snprintf(text, sizeof text, "serial console at %s: %u baud %s, FIFOs %s", where, uart.BaudRate(),
                  LineFormat(uart.LineControl()).c_str(), uart.FifosEnabled() ? "on" : "off");
  }
  return text;
}

int PrintAbout(const std::string &image, const std::string &mapPath, bool haveMap, const pe::MapFile &map) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!pe::ReadImageFile(image, bytes, error)) {
    std::fprintf(stderr, "vexa-platform: cannot read the image %s\n", error.c_str());
    return kExitCouldNotRun;
  }
  pe::Headers headers;
  if (const char *bad = pe::CheckDriverImage(bytes.data(), bytes.size(), headers)) {
    std::fprintf(stderr, "vexa-platform: bad image: %s\n", bad);  // as a run of it would refuse it
    return kExitCouldNotRun;
  }
  std::printf("image %s, %zu bytes\n", ShownPath(image).c_str(), bytes.size());
  if (!haveMap) {
    std::printf("map: %s, so the board it was built for is not known\n", map.Error().c_str());
    return kExitDefended;
  }
  std::printf("map %s\n", ShownPath(mapPath).c_str());
  if (map.BoardSettings().empty()) std::printf("the map records no board settings\n");
  for (const auto &[name, value] : map.BoardSettings()) std::printf("  %-29s %s\n", name.c_str(), value.c_str());
  return kExitDefended;
}

std::string ConsoleBanner(const qemu::Outcome &run, uint16_t base) {
  const uint64_t divisor = run.Number(report::Uart::kDivisor).value_or(0);
  char text[128];
  if (divisor == 0 || divisor == 0xFFFF) {
    std::snprintf(text, sizeof text, "serial console at 0x%X: %s", base,
                  divisor == 0 ? "never programmed (divisor latch 0)" : "nothing answers there");
  } else {
    std::snprintf(text, sizeof text, "serial console at 0x%X: %llu baud %s, FIFOs %s", base,
                  static_cast<unsigned long long>(sim::Uart16550::kInputClockHz / (16 * divisor)),
                  LineFormat(static_cast<uint8_t>(run.Number(report::Uart::kLcr).value_or(0))).c_str(),
                  (run.Number(report::Uart::kIir).value_or(0) & 0xC0) != 0 ? "on" : "off");
  }
  return text;
}

void PrintConsole(const sim::Uart16550 &uart, const Options &o) { PrintConsole(uart.Sent(), o); }

void PrintConsole(const std::string &sent, const Options &o) {
  const std::string console = sim::RenderAsTerminal(sent);
  if (!console.empty()) {
    std::fputs(console.c_str(), stdout);
    if (console.back() != '\n') std::fputc('\n', stdout);
    return;
  }
  const char *why = "";
  if (o.deadUart) {
    why = ": the UART never took a byte";
  } else if (o.printLevel.value_or(0) == 0) {
    why = ": the configured print level 0 lets only assertion reports through; try --print-level 0x40";
  }
  std::printf("(nothing on the console%s)\n", why);
}

namespace {
double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
constexpr double kProgressEvery = 2.0;  // seconds
}  // namespace

Spool::~Spool() {
  if (file != nullptr) std::fclose(file);
}

void Spool::CopyTo(std::FILE *out) const {
  if (file == nullptr) return;
  std::fflush(file);
  std::rewind(file);
  char buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) != 0;) std::fwrite(buffer, 1, n, out);
}

Progress::Progress(uint64_t attempts) : attempts_(attempts), started_(Now()), next_(started_ + kProgressEvery) {}

void Progress::Update(uint64_t done) {
  if ((done & 63) != 0 && done != attempts_) return;
  const double now = Now();
  if (now < next_) return;
  next_ = now + kProgressEvery;
  std::fprintf(stderr, "vexa-platform: %llu of %llu attempts done, %.0f a second\n",
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(attempts_),
               static_cast<double>(done) / (now - started_));
}

void Report::Add(std::string line) {
  if (lines_.size() < kLinesKept) {
    lines_.push_back(std::move(line));
  } else {
    ++linesDropped_;
  }
}

Report::Before Report::Snapshot(const sim::Platform &platform, const harness::ImageRun *run) const {
  return {platform.lpc.Locked(), platform.SmisDelivered(), run != nullptr ? run->HandlerRuns() : 0,
          run != nullptr ? run->CountOf(harness::FindingKind::Fault) : 0};
}

void Report::Attempt(int attempt, const Before &before, const sim::Platform &platform, const harness::ImageRun *run) {
  if (platform.lpc.Locked()) {
    ++relocked_;
    return;
  }
  ++undone_;
  std::string why;
  if (!before.locked) {
    why = "the lock was already clear (an earlier unlock was not undone), so clearing it raised no SMI";
  } else if (platform.SmisDelivered() == before.smis) {
    why = "clearing the lock raised no SMI";
  } else if (platform.firmware.Registrations().empty()) {
    why = "the SMI reached no handler: none was registered";
  } else if (run != nullptr && run->CountOf(harness::FindingKind::Fault) > before.faults) {
    why = "the handler was stopped: " + run->Fault();
  } else if (run != nullptr && run->HandlerRuns() == before.handlerRuns) {
    why = "the handler did not run";
  } else {
    why = "the handler returned without setting the lock again";
  }
  Add("attempt " + std::to_string(attempt) + ": not re-locked: " + why);
}

void Report::HostBreakpoints(int smi, int count) {
  if (count <= 0) return;
  breakpoints_ += static_cast<uint64_t>(count);
  Add(RunName(static_cast<uint64_t>(smi)) + ": breakpoint" + (count > 1 ? "s (" + std::to_string(count) + ")" : "") +
      " (the host build: no location)");
}

void Report::TakeFindings(const harness::ImageRun &run, const pe::MapFile &map) {
  faults_ += run.CountOf(harness::FindingKind::Fault);
  violations_ += run.CountOf(harness::FindingKind::Violation);
  breakpoints_ += run.CountOf(harness::FindingKind::Breakpoint);
  const uint64_t imageSize = run.Image().sizeOfImage;
  // Findings come before the attempts' verdicts: they say what happened in
  // the SMI the verdict then points at.
  std::vector<std::string> attempts;
  attempts.swap(lines_);
  const std::vector<harness::Finding> findings = run.Findings();
  for (const harness::Finding &f : findings) {
    const std::string where = f.rip != 0 ? " at " + Where(f.rip, map, imageSize) : std::string();
    switch (f.kind) {
      case harness::FindingKind::Fault:
        Add(RunName(f.run) + ": fault" + (f.name.empty() ? "" : " (" + f.name + ")") + where + ": " + f.text);
        break;
      case harness::FindingKind::Violation:
        Add(RunName(f.run) + ": violation (" + harness::ViolationName(f.violation) + ")" + where + ": " + f.text);
        break;
      case harness::FindingKind::Breakpoint:
        // A flood of breakpoints leaves room for the attempts' verdicts.
        if (lines_.size() + std::min(attempts.size(), kLinesKept / 2) >= kLinesKept) {
          ++linesDropped_;
          break;
        }
        Add(RunName(f.run) + ": breakpoint" + where +
            (f.text.empty() ? std::string(" (no assertion report on the stack)") : ": " + f.text));
        break;
    }
  }
  const uint64_t all = faults_ + violations_ + breakpoints_;
  if (all > findings.size()) linesDropped_ += all - findings.size();
  for (std::string &line : attempts) Add(std::move(line));
}

void Report::LogViolation(uint64_t smi, harness::ViolationKind kind, const std::string &what) {
  ++violations_;
  if (logLines_.size() < kLinesKept / 2) {
    logLines_.push_back(RunName(smi) + ": violation (" + harness::ViolationName(kind) + "): " + what);
  } else {
    ++linesDropped_;
  }
}

std::string CpusBanner(const qemu::Outcome &run) {
  using report::Rendezvous;
  return run.Text(report::Mp::kCpus) + " CPUs in SMM at SMBASE " + run.Text(report::Smbase::kCpus) +
         " (one each); SMIs since broadcast " + run.Text(Rendezvous::kSmis) + ", every CPU in for " +
         run.Text(Rendezvous::kComplete) + "; SMM entries per CPU " + run.Text(Rendezvous::kArrivals) +
         ", dispatched per CPU " + run.Text(Rendezvous::kDispatched);
}

std::string Cpu1Banner(const qemu::Outcome &run) {
  using report::Cpu1;
  return "CPU 1 attacks while CPU 0 is busy: " + run.Text(Cpu1::kAttempts) + " clears, " + run.Text(Cpu1::kRelocked) +
         " re-locked; reads of the lock still clear after the SMI was raised: " + run.Text(Cpu1::kClearReads) +
         " in all, at most " + run.Text(Cpu1::kMostClearReads) + " after one clear";
}

void Report::TakeQemuRun(const qemu::Outcome &run, const pe::MapFile &map, int attempts) {
  for (std::string &line : logLines_) Add(std::move(line));
  logLines_.clear();
  const std::string during =
      run.Text(report::Exception::kDuring) == "boot" || run.Text(report::Fault::kDuring) == "boot"
          ? "boot"
          : RunName(run.Number(report::Exception::kSmi).value_or(run.Number(report::Fault::kSmi).value_or(0)));
  const auto rva =
      run.Has(report::Exception::kRva) ? run.Number(report::Exception::kRva) : run.Number(report::Fault::kRva);
  const std::string where = rva ? " at " + WhereInImage(static_cast<uint32_t>(*rva), map) : std::string();
  if (run.Has(report::Exception::kVector)) {
    ++faults_;
    const std::string exception = "exception " + run.Text(report::Exception::kVector) + " in SMM (error " +
                                  run.Text(report::Exception::kError) + ", rip " + run.Text(report::Exception::kRip) +
                                  ")";
    const uint64_t vector = run.Number(report::Exception::kVector).value_or(0);
    if (vector == 6) {  // named as the simulator names it
      Add(during + ": fault (invalid instruction)" + where + ": invalid instruction at " +
          run.Text(report::Exception::kRip) + " (the processor raises #UD)");
    } else if (vector == 14) {
      // A page the SMM page tables keep from the driver: named as the
      // simulator names the same access; in a handler, a violation of its
      // confinement as well.
      const uint64_t error = run.Number(report::Exception::kError).value_or(0);
      const std::string cr2 = harness::Hex(run.Number(report::Exception::kCr2).value_or(0));
      harness::ViolationKind kind = harness::ViolationKind::Unmapped;
      std::string what = std::string((error & 2) != 0 ? "write to" : "read of") + " unmapped address " + cr2;
      if ((error & 0x10) != 0) {
        kind = harness::ViolationKind::Fetch;
        what = "instruction fetch outside the image's code at " + cr2;
      } else if (run.Has(report::Exception::kBootServicesTables)) {
        kind = harness::ViolationKind::BootServicesPointer;
        what = "handler read the boot-services tables at " + cr2 + " (not present while a handler runs)";
      } else if ((error & 1) != 0) {
        kind = harness::ViolationKind::Data;
        what = "write to read-only memory at " + cr2;
      }
      if (during != "boot") {
        ++violations_;
        Add(during + ": violation (" + harness::ViolationName(kind) + ")" + where + ": " + what);
      }
      Add(during + ": fault" + where + ": " + what + " (a page fault: " + exception + ")");
    } else {
      Add(during + ": fault" + where + ": " + exception);
    }
  }
  if (run.Has(report::Fault::kWhat)) {
    ++faults_;
    Add(during + ": fault" + where + ": " + Words(run.Text(report::Fault::kWhat)));
  }
  if (run.end == qemu::Outcome::End::TimedOut || run.end == qemu::Outcome::End::Crashed) {
    ++faults_;
    Add(std::string("the QEMU run ") + qemu::EndName(run.end) + ": " + run.fault);
  }
  const bool runEnded = faults_ != 0;
  // What the handler returned and what the entry did, as the simulator judges them.
  if (const uint64_t errors = run.Number(report::Attack::kHandlerErrors).value_or(0)) {
    faults_ += errors;
    Add(RunName(run.Number(report::Attack::kFirstHandlerErrorSmi).value_or(0)) +
        ": fault (handler status): the handler returned " +
        harness::Hex(run.Number(report::Attack::kFirstHandlerError).value_or(0)) + " instead of EFI_SUCCESS" +
        (errors > 1 ? " (and in " + std::to_string(errors - 1) + " more SMIs)" : ""));
  }
  const uint64_t entryStatus = run.Number(report::Entry::kStatus).value_or(0);
  if (EFI_ERROR(entryStatus) && run.Number(report::Entry::kRegistrations).value_or(0) != 0) {
    ++faults_;
    Add("boot: fault (entry status): the entry failed (" + harness::Hex(entryStatus) +
        ") after registering its handler: the handler stays registered and runs on every unlock SMI, though the "
        "driver said it did not start");
  }
  const uint64_t atBoot = run.Number(report::Entry::kBreakpoints).value_or(0);
  const uint64_t all = run.Number(report::Attack::kBreakpoints).value_or(atBoot);
  breakpoints_ += all;
  if (atBoot != 0) Add("boot: breakpoints (" + std::to_string(atBoot) + "), counted by the guest's IDT (no location)");
  if (all > atBoot)
    Add("SMIs: breakpoints (" + std::to_string(all - atBoot) + "), counted by the guest's IDT (no location)");

  // Several CPUs: an SMI that did not bring every CPU in, and the attacker on CPU 1.
  using report::Rendezvous;
  const uint64_t smis = run.Number(Rendezvous::kSmis).value_or(0), complete = run.Number(Rendezvous::kComplete).value_or(0);
  if (complete < smis) {
    ++faults_;
    Add(std::to_string(smis - complete) + " of " + std::to_string(smis) +
        " SMIs: CPUs missing from the rendezvous (mask " + run.Text(Rendezvous::kMissing) + ", SMM entries per CPU " +
        run.Text(Rendezvous::kArrivals) + "): the SMI did not bring every CPU into SMM");
  }
  if (run.Has(report::MpFault::kWhat)) {
    ++faults_;
    Add("CPUs: " + Words(run.Text(report::MpFault::kWhat)) + " (CPU " + run.Text(report::MpFault::kCpu) + ", CPU " +
        run.Text(report::MpFault::kOther) + ", SMBASE " + run.Text(report::MpFault::kSmbase) + ")");
  }
  const uint64_t cpu1Attempts = run.Number(report::Cpu1::kAttempts).value_or(0);
  const uint64_t cpu1Relocked = run.Number(report::Cpu1::kRelocked).value_or(0);
  if (cpu1Relocked < cpu1Attempts) {
    cpu1Undone_ = static_cast<int>(cpu1Attempts - cpu1Relocked);
    Add("CPU 1: " + std::to_string(cpu1Attempts - cpu1Relocked) + " of " + std::to_string(cpu1Attempts) +
        " clears not re-locked");
  }

  // Several runs (one per named attack) add up.
  const int relocked = static_cast<int>(run.Number(report::Attack::kRelocked).value_or(0));
  const int undone = attempts - relocked;
  relocked_ += relocked;
  undone_ += undone;
  if (undone == 0) return;
  std::string why = "the handler returned without setting the lock again";
  if (runEnded) {
    why = "the run ended at the fault above";
  } else if (run.Number(report::Attack::kSmis).value_or(0) < static_cast<uint64_t>(attempts)) {
    why = "an unlock SMI was not taken, and the attacker stopped there";
  } else if (run.Number(report::Entry::kRegistrations).value_or(0) == 0) {
    why = "the SMI reached no handler: none was registered";
  } else if (run.Number(report::Attack::kHandlerCalls).value_or(0) == 0) {
    why = "the handler did not run";
  }
  Add(std::to_string(undone) + " of " + std::to_string(attempts) + " attempts: not re-locked: " + why);
}

void Report::AttackFinding(std::string line) {
  ++attackFindings_;
  Add(std::move(line));
}

void Report::Print() const {
  if (lines_.empty()) return;
  std::printf("== findings\n");
  for (const std::string &line : lines_) std::printf("%s\n", line.c_str());
  if (linesDropped_ != 0) std::printf("... and %zu more\n", linesDropped_);
}

std::string Report::Summary(int attempts, int smis, EFI_STATUS status, double seconds) const {
  char text[320];
  std::snprintf(text, sizeof text,
                "summary: attempts %d, re-locked %d, SMIs %d, faults %llu, violations %llu, breakpoints %llu, entry "
                "status %s, %.2f s",
                attempts, relocked_, smis, static_cast<unsigned long long>(faults_),
                static_cast<unsigned long long>(violations_), static_cast<unsigned long long>(breakpoints_),
                StatusText(status).c_str(), seconds);
  return text;
}

bool Report::Defended(int attempts, EFI_STATUS status) const {
  return status != harness::kHarnessFault && !EFI_ERROR(status) && relocked_ == attempts && undone_ == 0 &&
         cpu1Undone_ == 0 && attackFindings_ == 0 &&
         faults_ + violations_ + breakpoints_ == 0;
}

}  // namespace tool
