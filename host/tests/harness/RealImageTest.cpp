// The built image on the simulated platform: the same accesses as the host
// build, every unlock re-locked, and assertion reports on the UART.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "AutoGen.h"
#include "Library/SmmServicesTableLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "RealImage.h"
#include "VexaGpioUnlockSmm.h"
#include "pe/ImageFile.h"
#include "support/TestSupport.h"

namespace {

using realimage::BootSettings;

struct Outcome {
  EFI_STATUS status;
  std::vector<sim::Access> trace;
  std::string uart;
  int registrations;
  bool locked;
  int breakpoints;
};

// Boot, then the attacker clears the lock `attacks` times.
constexpr int kAttacks = 3;

Outcome HostBuild(const BootSettings &setup) {
  sim::Platform platform;
  realimage::Configure(platform, setup);
  // A fresh load: the module's globals as the image starts with them.
  gSmst = nullptr;
  mSmiSourceDispatch = nullptr;
  PcdDebugPrintErrorLevel = setup.printLevel;
  testsupport::BreakpointCounter breakpoints;
  const EFI_STATUS status = ModuleEntryPoint(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
  PcdDebugPrintErrorLevel = 0;
  for (int i = 0; i < kAttacks; ++i) platform.AttackerClearsGpioLock();
  platform.uart.DrainAll();
  return {status,
          platform.bus.Trace(),
          platform.uart.Sent(),
          static_cast<int>(platform.firmware.Registrations().size()),
          platform.lpc.Locked(),
          breakpoints.Count()};
}

Outcome Image(const BootSettings &setup) {
  sim::Platform platform;
  realimage::Booted b;
  EXPECT_TRUE(realimage::Boot(platform, b, setup));
  for (int i = 0; i < kAttacks; ++i) platform.AttackerClearsGpioLock();
  EXPECT_EQ(b.run->Fault(), "");
  EXPECT_EQ(b.run->HandlerRuns(), platform.firmware.Registrations().empty() ? 0u : uint64_t{kAttacks});
  platform.uart.DrainAll();
  return {b.status,
          platform.bus.Trace(),
          platform.uart.Sent(),
          static_cast<int>(platform.firmware.Registrations().size()),
          platform.lpc.Locked(),
          static_cast<int>(b.run->TotalBreakpoints())};
}

TEST(RealImage, BootAndSmiTraceEqualsTheHostBuildAccessByAccess) {
  const struct {
    const char *name;
    BootSettings setup;
  } scenarios[] = {
      {"quiet boot, UART already set up", {}},
      {"messages on, UART from reset, 9600 baud", {0x80000040u, 0x06, true}},
      {"errors only, 57600 baud", {0x80000000u, 0x02, false}},
      {"SMM Base2 missing: assertion reports", {0x80000040u, 0x04, true, true, false}},
      {"dispatcher missing", {0x80000040u, 0x00, false, false, true}},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.name);
    const Outcome host = HostBuild(s.setup);
    const Outcome image = Image(s.setup);
    EXPECT_GT(image.trace.size(), 40u);
    EXPECT_TRUE(testsupport::TraceIs(image.trace, host.trace));
    EXPECT_EQ(image.status, host.status);
    EXPECT_EQ(image.uart, host.uart);
    EXPECT_EQ(image.registrations, host.registrations);
    EXPECT_EQ(image.locked, host.locked);
    EXPECT_EQ(image.locked, image.registrations == 1);
    EXPECT_EQ(image.breakpoints, host.breakpoints);
  }
}

TEST(RealImage, BootRegistersTheHandlerAndPrintsAtInfoLevel) {
  sim::Platform platform;
  realimage::Booted b;
  ASSERT_TRUE(realimage::Boot(platform, b, {0x40}));
  EXPECT_EQ(b.status, EFI_SUCCESS);
  ASSERT_EQ(platform.firmware.Registrations().size(), 1u);
  const auto &r = platform.firmware.Registrations()[0];
  EXPECT_EQ(r.source, 48u);
  EXPECT_EQ(r.guestHandler, harness::kImageBase + *b.map.Rva("GpioUnlockSmiHandler"));
  platform.uart.DrainAll();
  EXPECT_EQ(platform.uart.Sent(), "VexaGpioUnlockSmmEntry() Start\r\nVexaGpioUnlockSmmEntry() Exit\r\n");
  EXPECT_EQ(b.run->BootFigures().breakpoints, 0u);
}

TEST(RealImage, EveryUnlockIsRelockedByTheImagesHandler) {
  sim::Platform platform;
  realimage::Booted b;
  ASSERT_TRUE(realimage::Boot(platform, b));
  ASSERT_EQ(b.status, EFI_SUCCESS);
  const uint8_t others[] = {0x00, 0xFE, 0x5A, 0x80};
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE(i);
    platform.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = static_cast<uint8_t>(others[i % 4] | 1);
    platform.bus.ClearTrace();
    platform.AttackerClearsGpioLock();
    const uint32_t cleared = others[i % 4] & 0xFEu, relocked = others[i % 4] | 1u;
    const uint64_t lock = sim::Platform::kGpioLockAddress;
    // The attacker's read and write, then the handler: read, and MmioOr8's read and write.
    ASSERT_TRUE(testsupport::TraceIs(platform.bus.Trace(),
                                     {sim::MemR8(lock, relocked), sim::MemW8(lock, cleared), sim::MemR8(lock, cleared),
                                      sim::MemR8(lock, cleared), sim::MemW8(lock, relocked)}));
    ASSERT_EQ(platform.firmware.lastHandlerStatuses, std::vector<EFI_STATUS>{EFI_SUCCESS});
    ASSERT_TRUE(platform.lpc.Locked());
    ASSERT_EQ(platform.lpc.GpioLockByte(), relocked);
  }
  EXPECT_EQ(platform.SmisDelivered(), 200);
  EXPECT_EQ(b.run->HandlerRuns(), 200u);
  EXPECT_EQ(b.run->ViolationCount(), 0u) << b.run->Violations()[0];
}

// Both settings in writable data are bytes of the file: a copy of the image
// with another window base and print level patched in (where the map and the
// section table put them) runs with them.  The simulated window stays where
// the board has it, so the patched bases point into it: at a bus where
// nothing answers, and at the LPC bridge's register 0x50, which reads 0; the
// lock register is left alone.
TEST(RealImage, BothSettingsArePatchableInTheFile) {
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(pe::ReadImageFile(realimage::ImagePath(), file, error)) << error;
  pe::Headers headers;
  ASSERT_EQ(pe::Parse(file.data(), file.size(), headers), nullptr);
  pe::MapFile map;
  ASSERT_TRUE(map.Read(realimage::MapPath())) << map.Error();
  const auto baseRva = map.Rva("PcdPciExpressBaseAddress");
  const auto levelRva = map.Rva("PcdDebugPrintErrorLevel");
  ASSERT_TRUE(baseRva.has_value() && levelRva.has_value());
  size_t baseAt = 0, levelAt = 0;
  ASSERT_TRUE(headers.FileOffset(*baseRva, 8, baseAt));
  ASSERT_TRUE(headers.FileOffset(*levelRva, 4, levelAt)) << "the print level is not in the file's data";
  uint64_t built = 0;
  std::memcpy(&built, &file[baseAt], 8);
  ASSERT_EQ(built, sim::BoardLayout().pciExpressBase);  // where the simulated window lies

  const struct {
    uint64_t base;
    uint32_t level;
    std::vector<sim::Access> handler;
    const char *console;
  } cases[] = {
      {built + 0x100000, 0, {sim::MemR8(built + 0x1F804C, 0xFF)}, ""},  // bus 1 reads all ones: "locked", no write
      {built + 4,
       0x40,
       {sim::MemR8(built + 0xF8050, 0x00), sim::MemR8(built + 0xF8050, 0x00), sim::MemW8(built + 0xF8050, 0x01)},
       "VexaGpioUnlockSmmEntry() Start\r\nVexaGpioUnlockSmmEntry() Exit\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.base);
    std::vector<uint8_t> patched = file;
    std::memcpy(&patched[baseAt], &c.base, 8);
    std::memcpy(&patched[levelAt], &c.level, 4);
    sim::Platform platform;
    harness::ImageRun run(platform);
    ASSERT_TRUE(run.LoadBytes(patched)) << run.Fault();
    ASSERT_EQ(run.RunEntryPoint(), EFI_SUCCESS) << run.Fault();
    platform.uart.DrainAll();
    EXPECT_EQ(platform.uart.Sent(), c.console);
    const uint64_t handler = realimage::RegisteredHandler(platform);
    ASSERT_NE(handler, 0u);
    platform.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = 0x00;
    platform.bus.ClearTrace();
    EXPECT_EQ(run.CallHandler(handler, 0, 0, 0, 0), EFI_SUCCESS);
    EXPECT_TRUE(testsupport::TraceIs(platform.bus.Trace(), c.handler));
    EXPECT_EQ(platform.lpc.GpioLockByte(), 0x00);
  }
}

// The line of the first source line containing `text`, or 0.
int LineOf(const std::string &file, const std::string &text) {
  std::ifstream in(std::string(VEXA_SOURCE_ROOT) + "/" + file + ".cpp");
  std::string line;
  for (int n = 1; std::getline(in, line); ++n)
    if (line.find(text) != std::string::npos) return n;
  return 0;
}

TEST(RealImage, AssertionReportsReachTheUartWithTheirExactTexts) {
  // SMM Base2 missing: the SMM constructor's checks report, each ending in a
  // breakpoint; the entry then finds no SMM table and registers nothing.
  const std::string file = "MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib";
  const int statusLine = LineOf(file, "ASSERT_EFI_ERROR(Status);");
  const int pointerLine = LineOf(file, "ASSERT(mInternalSmmBase2 != NULL);");
  ASSERT_GT(statusLine, 0);
  ASSERT_GT(pointerLine, 0);
  const std::string reports = "ASSERT " + file + "(" + std::to_string(statusLine) + "): !EFI_ERROR (Status)\r\n" +
                              "ASSERT " + file + "(" + std::to_string(pointerLine) +
                              "): mInternalSmmBase2 != ((void *) 0)\r\n";

  const struct {
    uint32_t printLevel;
    std::string uart;
  } cases[] = {
      {0, reports},
      {0x80000000u, "\r\nASSERT_EFI_ERROR (Status = Not Found)\r\n" + reports},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.printLevel);
    sim::Platform platform;
    platform.firmware.smmBase2Present = false;
    realimage::Booted b;
    ASSERT_TRUE(realimage::Boot(platform, b, {c.printLevel}));
    platform.uart.DrainAll();
    EXPECT_EQ(platform.uart.Sent(), c.uart);
    EXPECT_EQ(b.run->BootFigures().breakpoints, 2u);
    EXPECT_TRUE(EFI_ERROR(b.status));
    EXPECT_TRUE(platform.firmware.Registrations().empty());
    EXPECT_EQ(platform.firmware.calls.smmLocateProtocol, 0);
  }
}

TEST(RealImage, FirmwareFaultsComeBackAsTheEntrysStatus) {
  {
    SCOPED_TRACE("SMI-source dispatcher missing");
    sim::Platform platform;
    platform.firmware.smiSourceDispatchPresent = false;
    realimage::Booted b;
    ASSERT_TRUE(realimage::Boot(platform, b, {0x80000040u}));
    platform.uart.DrainAll();
    EXPECT_EQ(b.status, EFI_NOT_FOUND);
    EXPECT_EQ(platform.uart.Sent(), "VexaGpioUnlockSmmEntry() Start\r\n");
    EXPECT_EQ(platform.firmware.calls.registerHandler, 0);
    EXPECT_EQ(b.run->BootFigures().breakpoints, 0u);
  }
  {
    SCOPED_TRACE("Register fails");
    sim::Platform platform;
    platform.firmware.registerStatus = EFI_OUT_OF_RESOURCES;
    realimage::Booted b;
    ASSERT_TRUE(realimage::Boot(platform, b, {0x40}));
    platform.uart.DrainAll();
    EXPECT_EQ(b.status, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(platform.uart.Sent(), "VexaGpioUnlockSmmEntry() Start\r\n");
    EXPECT_EQ(platform.firmware.calls.registerHandler, 1);
    platform.AttackerClearsGpioLock();
    EXPECT_FALSE(platform.lpc.Locked());  // nothing registered: nothing re-locks
  }
  {
    SCOPED_TRACE("Register warns");
    sim::Platform platform;
    platform.firmware.registerStatus = EFI_WARN_STALE_DATA;
    realimage::Booted b;
    ASSERT_TRUE(realimage::Boot(platform, b, {0x40}));
    platform.uart.DrainAll();
    EXPECT_EQ(b.status, EFI_WARN_STALE_DATA);
    EXPECT_EQ(platform.uart.Sent(), "VexaGpioUnlockSmmEntry() Start\r\nVexaGpioUnlockSmmEntry() Exit\r\n");
    platform.AttackerClearsGpioLock();
    EXPECT_TRUE(platform.lpc.Locked());
  }
}

}  // namespace
