// The main job: boots VexaGpioUnlockSmm on the simulated platform exactly as
// firmware loads it, lets an attacker clear the GPIO lock again and again,
// and shows what a serial terminal would show and whether every unlock was
// undone.  By default the real image runs, in the CPU emulator; --host runs
// the module's host build instead; --qemu runs the real image in SMM on
// QEMU's q35 machine, against QEMU's devices.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AutoGen.h"
#include "Library/PrintLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "Options.h"
#include "harness/ImageRun.h"
#include "pe/MapFile.h"
#include "qemu/QemuRun.h"
#include "sim/Platform.h"
#include "sim/TraceText.h"

namespace {

std::atomic<int> gHostBreakpoints{0};
void OnBreakpoint(int) { gHostBreakpoints.fetch_add(1); }

std::string StatusText(EFI_STATUS status) {
  CHAR8 name[64];
  AsciiSPrint(name, sizeof name, "%r", status);
  char text[96];
  std::snprintf(text, sizeof text, "%s (0x%016llX)", name, static_cast<unsigned long long>(status));
  return text;
}

const char *LineFormat(uint8_t lcr) {
  static char text[8];
  static const char parity[] = {'N', 'O', 'N', 'E', 'N', 'M', 'N', 'S'};
  std::snprintf(text, sizeof text, "%d%c%d", 5 + (lcr & 3), parity[(lcr >> 3) & 7], (lcr & 4) ? 2 : 1);
  return text;
}

// What a terminal on the debug UART shows, or why it shows nothing.
void PrintConsole(const std::string &sent, const tool::Options &o) {
  const std::string console = sim::RenderAsTerminal(sent);
  if (console.empty()) {
    std::printf("(nothing on the console%s)\n",
                o.deadUart          ? ": the UART never took a byte"
                : o.printLevel == 0 ? ": the configured print level 0 lets only assertion reports through; "
                                      "try --print-level 0x40"
                                    : "");
  } else {
    std::fputs(console.c_str(), stdout);
    if (console.back() != '\n') std::fputc('\n', stdout);
  }
}

// The summary line; the exit status is 0 when the entry succeeded and every
// unlock was undone.
int Summary(int attempts, int relocked, int smis, int breakpoints, EFI_STATUS status) {
  std::printf("summary: attempts %d, re-locked %d, SMIs %d, breakpoints %d, entry status %s\n", attempts, relocked,
              smis, breakpoints, StatusText(status).c_str());
  return (relocked == attempts && !EFI_ERROR(status)) ? 0 : 1;
}

int RunOnQemu(const tool::Options &o) {
  qemu::Settings s;
  s.imagePath = o.imagePath.empty() ? VEXA_DEFAULT_IMAGE : o.imagePath;
  s.printLevel = o.printLevel;
  s.cmos = o.cmos;
  s.attempts = o.attempts;
  s.trace = o.trace;
  s.timeoutSeconds = 60 + o.attempts / 1000.0;  // a run takes about a second; far more means a hang
  const qemu::Outcome r = qemu::Run(s);
  if (!r.Ran() || !r.Number("entry.status")) {
    std::fprintf(stderr, "vexa-platform: the QEMU run %s: %s\n%s", qemu::EndName(r.end), r.fault.c_str(),
                 r.report.c_str());
    return 1;
  }
  const uint64_t divisor = r.Number("uart.divisor").value_or(0);
  std::printf("== VexaGpioUnlockSmm.efi in SMM on QEMU's q35 machine\n");
  std::printf("== serial console at 0x3F8: %llu baud %s, FIFOs %s\n",
              static_cast<unsigned long long>(divisor == 0 ? 0 : 115200 / divisor),
              LineFormat(static_cast<uint8_t>(r.Number("uart.lcr").value_or(0))),
              (r.Number("uart.iir").value_or(0) & 0xC0) != 0 ? "on" : "off");
  PrintConsole(r.console, o);
  if (o.trace) {
    size_t after = 0;
    for (const auto &smi : r.smiTraces) after += smi.size();
    std::printf("== register accesses as QEMU logged them (%zu during boot, %zu in %zu SMIs)\n", r.bootTrace.size(),
                after, r.smiTraces.size());
    sim::TraceListing listing;
    for (const sim::Access &a : r.bootTrace) listing.Add(a);
    for (size_t i = 0; i < r.smiTraces.size(); ++i) {
      listing.Mark("SMI " + std::to_string(i + 1));
      for (const sim::Access &a : r.smiTraces[i]) listing.Add(a);
    }
    std::fputs(listing.Text().c_str(), stdout);
  }
  if (r.end != qemu::Outcome::End::Passed) std::fprintf(stderr, "vexa-platform: %s\n", r.fault.c_str());
  return Summary(o.attempts, static_cast<int>(r.Number("attack.relocked").value_or(0)),
                 static_cast<int>(r.Number("attack.smis").value_or(0)),
                 static_cast<int>(r.Number("entry.breakpoints").value_or(0)), *r.Number("entry.status"));
}

}  // namespace

int main(int argc, char **argv) {
  std::string error;
  const std::optional<tool::Options> parsed = tool::ParseOptions({argv + 1, argv + argc}, error);
  if (!parsed) {
    std::fprintf(stderr, "vexa-platform: %s\n", error.c_str());
    return 2;
  }
  const tool::Options &o = *parsed;
  if (o.help) {
    std::fputs(tool::kUsage, stdout);
    return 0;
  }

  if (o.qemu) return RunOnQemu(o);

  sim::Platform platform;
  platform.cmos.Byte(sim::Cmos::kSerialBaudIndex) = o.cmos;
  platform.superIo.Reg(2, 0x30) = o.superIoDevice2;
  platform.superIo.Reg(3, 0x30) = o.superIoDevice3;
  platform.uart.faults.transmitterStuck = o.deadUart;
  // The UART as power-on leaves it: the module's bring-up programs it.
  platform.uart.PowerOnReset();

  std::unique_ptr<harness::ImageRun> run;
  EFI_STATUS status;
  int breakpoints = 0;
  if (o.hostBuild) {
    struct sigaction action = {};
    action.sa_handler = OnBreakpoint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTRAP, &action, nullptr);
    PcdDebugPrintErrorLevel = o.printLevel;
    status = ModuleEntryPoint(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
    breakpoints = gHostBreakpoints.load();
  } else {
    const std::string image = o.imagePath.empty() ? VEXA_DEFAULT_IMAGE : o.imagePath;
    run = std::make_unique<harness::ImageRun>(platform);
    if (!run->Load(image)) {
      std::fprintf(stderr, "vexa-platform: cannot load %s: %s\n", image.c_str(), run->Fault().c_str());
      return 1;
    }
    if (o.printLevel != 0) {
      // The print level is a variable in the image's data; find it in the linker's map.
      pe::MapFile map;
      const std::string mapPath = image.substr(0, image.rfind('.')) + ".map";
      const auto rva = map.Read(mapPath) ? map.Rva("PcdDebugPrintErrorLevel") : std::nullopt;
      if (!rva || !run->WriteGuest(harness::kImageBase + *rva, &o.printLevel, sizeof o.printLevel)) {
        std::fprintf(stderr, "vexa-platform: cannot set the print level: no PcdDebugPrintErrorLevel in %s\n",
                     mapPath.c_str());
        return 1;
      }
    }
    status = run->RunEntryPoint();
    if (status == harness::kHarnessFault) {
      std::fprintf(stderr, "vexa-platform: the image stopped in the emulator: %s\n", run->Fault().c_str());
      return 1;
    }
    breakpoints = static_cast<int>(run->TotalBreakpoints());
  }
  const size_t bootAccesses = platform.bus.Trace().size();

  int relocked = 0;
  for (int attempt = 0; attempt < o.attempts; ++attempt) {
    platform.AttackerClearsGpioLock();
    relocked += platform.lpc.Locked() ? 1 : 0;
  }

  platform.uart.DrainAll();
  const sim::Uart16550 &uart = platform.uart;
  std::printf("== %s on the simulated platform\n", o.hostBuild ? "host build" : "VexaGpioUnlockSmm.efi");
  std::printf("== serial console at 0x3F8: %u baud %s, FIFOs %s\n", uart.BaudRate(), LineFormat(uart.LineControl()),
              uart.FifosEnabled() ? "on" : "off");
  PrintConsole(uart.Sent(), o);

  if (o.trace) {
    std::printf("== register accesses (%zu during boot, %zu after)\n", bootAccesses,
                platform.bus.Trace().size() - bootAccesses);
    for (size_t i = 0; i < platform.bus.Trace().size(); ++i) {
      if (i == bootAccesses) std::printf("-- boot done; the attacker starts\n");
      std::printf("%s\n", sim::Describe(platform.bus.Trace()[i]).c_str());
    }
  }

  return Summary(o.attempts, relocked, platform.SmisDelivered(), breakpoints, status);
}
