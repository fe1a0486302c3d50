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

#include "Attacks.h"
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
#include "sim/Attacker.h"
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
    std::fprintf(stderr, "vexa-platform: note: %s lacks a property of the module's image (vexa-ffs refuses it): %s\n",
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
    if (o.printLevel) PcdDebugPrintErrorLevel = *o.printLevel;
    status = ModuleEntryPoint(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
    report.HostBreakpoints(0, gHostBreakpoints.exchange(0));
  } else {
    run = std::make_unique<harness::ImageRun>(platform);
    if (!run->Load(image)) {
      std::fprintf(stderr, "vexa-platform: %s\n", run->Fault().c_str());
      return tool::kExitCouldNotRun;
    }
    if (o.printLevel) {
      // The print level is a variable in the image's data; the linker's map says where.
      std::string error;
      const std::optional<uint32_t> rva = pe::PrintLevelRva(image, error);
      if (!rva || !run->WriteGuest(harness::kImageBase + *rva, &*o.printLevel, sizeof *o.printLevel)) {
        std::fprintf(stderr, "vexa-platform: %s\n",
                     rva ? "cannot set the print level: its variable lies outside the image" : error.c_str());
        return tool::kExitCouldNotRun;
      }
    }
    status = run->RunEntryPoint();
  }
  platform.bus.Mark("boot: the entry returned");

  // Each attack in turn (the plain clear when none is named): its set-up,
  // then rounds of clear, SMI and read-back; a window attack stops at its
  // first unlock left undone.  Between attacks the window and the lock go
  // back to where the firmware left them.
  const std::vector<attack::Kind> attacks = o.attacks.empty() ? std::vector<attack::Kind>{attack::kClear} : o.attacks;
  std::vector<tool::AttackOutcome> outcomes;
  sim::Attacker attacker(platform);
  attacker.readBack = !o.attacks.empty();
  int attempt = 0;
  tool::Progress progress(static_cast<uint64_t>(o.attempts) * attacks.size());
  for (const attack::Kind kind : attacks) {
    tool::AttackOutcome out;
    out.kind = kind;
    out.attempts = o.attempts;
    platform.bus.Mark(std::string("attack ") + attack::kNames[kind] + ": the attacker sets it up");
    attacker.Begin(kind);
    for (int round = 1; round <= o.attempts; ++round) {
      progress.Update(static_cast<uint64_t>(attempt));
      const tool::Report::Before before = report.Snapshot(platform, run.get());
      ++attempt;
      if (platform.bus.Marked())
        platform.bus.Mark("attempt " + std::to_string(attempt) + ": the attacker clears the GPIO lock" +
                          (o.attacks.empty() ? "" : std::string(" (") + attack::kNames[kind] + ")"));
      const sim::Attacker::Round r = attacker.Clear();
      if (o.hostBuild) report.HostBreakpoints(platform.SmisDelivered(), gHostBreakpoints.exchange(0));
      report.Attempt(attempt, before, platform, run.get());
      ++out.rounds;
      out.smiMissing = out.smiMissing || !r.smi;
      if (r.cf8Found != r.cf8Left && !out.cf8Changed) {
        out.cf8Left = r.cf8Left;
        out.cf8Changed = r.cf8Found;
      }
      if (((r.lockBefore ^ r.lockAfter) & ~sim::LpcBridge::kGpioLockBit) != 0 && !out.otherBitsChanged)
        out.otherBitsChanged = std::make_pair(r.lockBefore, r.lockAfter);
      if (r.relocked && r.relockedLegacy) {
        ++out.relocked;
        continue;
      }
      if (out.relocked + 1 == out.rounds) {  // the first round not re-locked: what the handler did
        out.handlerSeen = true;
        for (const sim::Access &a : r.handlerAtLock)
          (a.dir == sim::Dir::Read ? out.handlerReads : out.handlerWrites).push_back(static_cast<uint8_t>(a.value));
      }
      if (kind != attack::kClear) break;
    }
    attacker.End();
    outcomes.push_back(out);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  platform.Console().DrainAll();
  std::printf("== %s on the simulated platform%s\n",
              o.hostBuild ? "the module's host build" : ("image " + tool::ShownPath(image)).c_str(),
              layout.name == "default" ? "" : (" (board " + layout.name + ")").c_str());
  std::printf("== %s\n", tool::ConsoleBanner(platform.Console(), layout).c_str());
  tool::PrintConsole(platform.Console(), o);
  if (run) report.TakeFindings(*run, map);
  for (const tool::AttackOutcome &out : outcomes)
    if (out.kind != attack::kClear || !o.attacks.empty())
      for (std::string &line : tool::AttackFindings(out, layout.pciExpressBase)) report.AttackFinding(std::move(line));
  report.Print();
  if (o.trace) {
    std::printf("== register accesses: %zu (runs of one repeated access shown once, with their count)\n",
                listing.Accesses());
    listing.Finish();
    spool.CopyTo(stdout);
  }
  std::printf("%s%s\n", report.Summary(attempt, platform.SmisDelivered(), status, seconds).c_str(),
              o.attacks.empty() ? "" : ("; " + tool::AttackSummary(outcomes)).c_str());
  return report.Defended(attempt, status) ? tool::kExitDefended : tool::kExitFailed;
}
