// The main job: boots VexaGpioUnlockSmm on the simulated platform exactly as
// firmware loads it, lets an attacker clear the GPIO lock again and again,
// and shows what a serial terminal would show, every finding, and whether
// every unlock was undone.  By default the real image runs, in the CPU
// emulator; --host runs the module's host build instead; --qemu runs the
// real image in real SMM on QEMU's q35 machine (QemuJob.cpp).
//
// The run keeps no access log unless --trace asks for one, so its memory does
// not grow with the number of attempts.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AutoGen.h"
#include "Library/PrintLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "Options.h"
#include "QemuJob.h"
#include "Report.h"
#include "harness/ImageRun.h"
#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "sim/Platform.h"
#include "sim/TraceText.h"

namespace {

std::atomic<int> gHostBreakpoints{0};
void OnBreakpoint(int) { gHostBreakpoints.fetch_add(1); }

void SetUpPlatform(sim::Platform &platform, const tool::Options &o) {
  platform.bus.recording = false;
  if (o.cmos) platform.cmos.Byte(sim::Cmos::kSerialBaudIndex) = *o.cmos;
  platform.superIo.Reg(2, 0x30) = o.superIoDevice2;
  platform.superIo.Reg(3, 0x30) = o.superIoDevice3;
  platform.Console().faults.transmitterStuck = o.deadUart;
  platform.firmware.smmBase2Present = !o.smmBase2Missing;
  platform.firmware.smiSourceDispatchPresent = !o.dispatcherMissing;
  // The UART as power-on leaves it: the module's bring-up programs it.
  platform.Console().PowerOnReset();
}

// Where the board the image was built for has its window and console: from
// the settings record at the end of the image's map.
bool Board(const pe::MapFile &map, bool haveMap, sim::BoardLayout &layout, std::string &error) {
  if (!haveMap || map.BoardSettings().empty()) return true;  // an image without a record: the configured board
  return sim::BoardLayoutFrom(map.BoardSettings(), layout, error);
}

// The main job runs, for analysis, any image the firmware could load; one
// that lacks a property of the module's image (which the packer refuses) is
// named as such before the run.
void NoteBrokenProperties(const std::string &image) {
  std::vector<uint8_t> bytes;
  std::string error;
  pe::Headers headers;
  if (!pe::ReadImageFile(image, bytes, error) ||
      pe::CheckLoadableImage(bytes.data(), bytes.size(), headers) != nullptr)
    return;  // the load says what is wrong
  const char *reasons[8];
  const int count = pe::BrokenProperties(headers, reasons, 8);
  for (int i = 0; i < count && i < 8; ++i)
    std::fprintf(stderr, "vexa-platform: note: %s lacks a property of the module's image (vexa_ffs refuses it): %s\n",
                 tool::ShownPath(image).c_str(), reasons[i]);
}

}  // namespace

int main(int argc, char **argv) {
  std::string error;
  const std::optional<tool::Options> parsed = tool::ParseOptions({argv + 1, argv + argc}, error);
  if (!parsed) {
    std::fprintf(stderr, "vexa-platform: %s\n", error.c_str());
    return tool::kExitUsage;
  }
  const tool::Options &o = *parsed;
  if (o.help) {
    std::fputs(tool::kUsage, stdout);
    return tool::kExitDefended;
  }
  if (!o.hostBuild) NoteBrokenProperties(o.imagePath.empty() ? VEXA_DEFAULT_IMAGE : o.imagePath);
  if (o.qemu) return tool::RunOnQemu(o, o.imagePath.empty() ? VEXA_DEFAULT_IMAGE : o.imagePath);
  const auto started = std::chrono::steady_clock::now();

  // The image and its map: the map names where findings happened and records
  // the board the image was built for (the host build shares the default
  // image's board).
  const std::string image = o.imagePath.empty() ? VEXA_DEFAULT_IMAGE : o.imagePath;
  const std::string mapPath = pe::MapPathFor(o.hostBuild ? std::string(VEXA_DEFAULT_IMAGE) : image);
  pe::MapFile map;
  const bool haveMap = map.Read(mapPath);
  sim::BoardLayout layout;
  if (!Board(map, haveMap, layout, error)) {
    std::fprintf(stderr, "vexa-platform: %s: %s\n", mapPath.c_str(), error.c_str());
    return tool::kExitCouldNotRun;
  }
  if (o.about) return tool::PrintAbout(image, mapPath, haveMap, map);
  if (o.superIoGiven && layout.superIoIndexPort == 0) {
    std::fprintf(stderr, "vexa-platform: --superio: board %s has no Super I/O\n", layout.name.c_str());
    return tool::kExitUsage;
  }

  sim::Platform platform(layout);
  SetUpPlatform(platform, o);
  sim::TraceListing listing;
  const tool::Spool spool(o.trace);  // the listing waits in a file until the findings are printed
  if (o.trace) {
    if (spool.file == nullptr) {
      std::fprintf(stderr, "vexa-platform: cannot make a temporary file for the trace\n");
      return tool::kExitCouldNotRun;
    }
    listing.StreamTo(spool.file);
    platform.bus.onAccess = [&](const sim::Access &a) { listing.Add(a); };
    platform.bus.onMark = [&](const std::string &text) { listing.Mark(text); };
  }

  tool::Report report;
  std::unique_ptr<harness::ImageRun> run;
  EFI_STATUS status;
  platform.bus.Mark("boot: ModuleEntryPoint");
  if (o.hostBuild) {
    struct sigaction action = {};
    action.sa_handler = OnBreakpoint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTRAP, &action, nullptr);
    PcdDebugPrintErrorLevel = o.printLevel;
    status = ModuleEntryPoint(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
    report.HostBreakpoints(0, gHostBreakpoints.exchange(0));
  } else {
    run = std::make_unique<harness::ImageRun>(platform);
    if (!run->Load(image)) {
      std::fprintf(stderr, "vexa-platform: %s\n", run->Fault().c_str());
      return tool::kExitCouldNotRun;
    }
    if (o.printLevel != 0) {
      // The print level is a variable in the image's data; the linker's map says where.
      const auto rva = haveMap ? map.Rva("PcdDebugPrintErrorLevel") : std::nullopt;
      if (!haveMap) {
        std::fprintf(stderr, "vexa-platform: --print-level needs the image's map, and %s\n", map.Error().c_str());
        return tool::kExitCouldNotRun;
      }
      if (!rva || !run->WriteGuest(harness::kImageBase + *rva, &o.printLevel, sizeof o.printLevel)) {
        std::fprintf(stderr, "vexa-platform: cannot set the print level: no PcdDebugPrintErrorLevel in %s\n",
                     mapPath.c_str());
        return tool::kExitCouldNotRun;
      }
    }
    status = run->RunEntryPoint();
  }
  platform.bus.Mark("boot: the entry returned");

  tool::Progress progress(static_cast<uint64_t>(o.attempts));
  for (int attempt = 1; attempt <= o.attempts; ++attempt) {
    progress.Update(static_cast<uint64_t>(attempt - 1));
    const tool::Report::Before before = report.Snapshot(platform, run.get());
    if (platform.bus.Marked())
      platform.bus.Mark("attempt " + std::to_string(attempt) + ": the attacker clears the GPIO lock");
    platform.AttackerClearsGpioLock();
    if (o.hostBuild) report.HostBreakpoints(platform.SmisDelivered(), gHostBreakpoints.exchange(0));
    report.Attempt(attempt, before, platform, run.get());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  platform.Console().DrainAll();
  std::printf("== %s on the simulated platform%s\n",
              o.hostBuild ? "the module's host build" : ("image " + tool::ShownPath(image)).c_str(),
              layout.name == "default" ? "" : (" (board " + layout.name + ")").c_str());
  std::printf("== %s\n", tool::ConsoleBanner(platform.Console(), layout).c_str());
  tool::PrintConsole(platform.Console(), o);
  if (run) report.TakeFindings(*run, map);
  report.Print();
  if (o.trace) {
    std::printf("== register accesses: %zu (runs of one repeated access shown once, with their count)\n",
                listing.Accesses());
    listing.Finish();
    spool.CopyTo(stdout);
  }
  std::printf("%s\n", report.Summary(o.attempts, platform.SmisDelivered(), status, seconds).c_str());
  return report.Defended(o.attempts, status) ? tool::kExitDefended : tool::kExitFailed;
}
