// A board's image against the module's host build with the same board
// settings, on a platform laid out from the settings the image's map records:
// the same register accesses and console from power-on, each unlock undone
// with the handler's own accesses at the board's lock address (and at the
// window register, on a board with the window check), and the UART
// and window where the settings put them.  Compiled once per board.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Library/UefiDriverEntryPoint.h"
#include "harness/ImageRun.h"
#include "pe/MapFile.h"
#include "sim/PciUart.h"
#include "sim/Platform.h"
#include "sim/TraceText.h"

extern UINT32 PcdDebugPrintErrorLevel;

namespace {

struct BootRun {
  std::vector<sim::Access> trace;
  std::string console;
  EFI_STATUS status = 0;
  int relocked = 0;
};

class Board : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(map_.Read(pe::MapPathFor(VEXA_BOARD_IMAGE))) << map_.Error();
    std::string error;
    ASSERT_TRUE(sim::BoardLayoutFrom(map_.BoardSettings(), layout_, error)) << error;
  }
  // Boots from power-on with the entry's messages on, then three unlocks.
  void Boot(sim::Platform &p, bool image, BootRun &out) {
    p.Console().PowerOnReset();
    const uint32_t level = 0x40;
    std::unique_ptr<harness::ImageRun> run;
    if (image) {
      run = std::make_unique<harness::ImageRun>(p);
      ASSERT_TRUE(run->Load(VEXA_BOARD_IMAGE)) << run->Fault();
      ASSERT_TRUE(run->WriteGuest(harness::kImageBase + map_.Rva("PcdDebugPrintErrorLevel").value(), &level, 4));
      out.status = run->RunEntryPoint();
      ASSERT_EQ(run->Fault(), "");
    } else {
      PcdDebugPrintErrorLevel = level;
      out.status = ModuleEntryPoint(p.firmware.ImageHandle(), p.firmware.SystemTable());
    }
    for (int i = 0; i < 3; ++i) {
      p.AttackerClearsGpioLock();
      out.relocked += p.lpc.Locked() ? 1 : 0;
    }
    if (run) EXPECT_EQ(run->ViolationCount() + run->TotalBreakpoints(), 0u);
    p.Console().DrainAll();
    out.trace = p.bus.Trace();
    out.console = p.Console().Sent();
  }
  pe::MapFile map_;
  sim::BoardLayout layout_;
};

TEST_F(Board, ImageAndHostBuildAgreeOnTheBoardsPlatform) {
  EXPECT_EQ(layout_.name, VEXA_EXPECTED_BOARD);
  BootRun host, image;
  {
    sim::Platform p(layout_);
    ASSERT_NO_FATAL_FAILURE(Boot(p, false, host));
  }
  sim::Platform p(layout_);
  ASSERT_NO_FATAL_FAILURE(Boot(p, true, image));
  EXPECT_EQ(image.status, EFI_SUCCESS);
  EXPECT_EQ(image.relocked, 3);
  EXPECT_EQ(image.console, "VexaGpioUnlockSmmEntry() Start\r\nVexaGpioUnlockSmmEntry() Exit\r\n");
  EXPECT_EQ(sim::TraceDifference(host.trace, image.trace), "");
  EXPECT_EQ(host.console, image.console);
  EXPECT_EQ(host.status, image.status);

  // The console came up where the board has it, at the board's rate.
  EXPECT_EQ(p.Console().BaudRate(), std::vector<uint32_t>({115200, 57600, 19200, 9600})[layout_.cmosSerialBaud >> 1]);
  if (!layout_.pciPath.empty()) {
    ASSERT_NE(p.ConsolePciUart(), nullptr);
    EXPECT_TRUE(p.ConsolePciUart()->Decoding());
    EXPECT_EQ(p.ConsolePciUart()->Dword(sim::PciUart::kBar0) & ~0xFu, static_cast<uint32_t>(layout_.uartBase));
  }
  // Ports other than the configuration ports, CMOS and an I/O UART's are
  // the Super I/O's: its 43 set-up accesses where the board has one, none
  // on a board without.
  size_t superIo = 0;
  std::string stray;
  for (const sim::Access &a : image.trace) {
    const uint64_t port = a.address;
    if (a.space != sim::Space::Io || (port >= 0xCF8 && port <= 0xCFF) || port == 0x70 || port == 0x71 ||
        (!layout_.uartMmio && port >= layout_.uartBase && port < layout_.uartBase + 8))
      continue;
    if (layout_.superIoIndexPort != 0 && (port == layout_.superIoIndexPort || port == layout_.superIoIndexPort + 1u))
      ++superIo;
    else
      stray += sim::Describe(a) + "\n";
  }
  EXPECT_EQ(stray, "");
  EXPECT_EQ(superIo, layout_.superIoIndexPort != 0 ? 43u : 0u);

  // Each unlock: the attacker's two accesses, then the handler's read, read
  // and write, all at the board's lock address; on a board with the window
  // check, first its look at the window register through 0xCF8/0xCFC, and
  // last 0xCF8 given back the value the boot left there.
  const uint64_t lock = layout_.GpioLockAddress();
  std::vector<sim::Access> unlock = {sim::MemR8(lock, 0x01), sim::MemW8(lock, 0x00), sim::MemR8(lock, 0x00),
                                     sim::MemR8(lock, 0x00), sim::MemW8(lock, 0x01)};
  if (layout_.windowCheck) {
    const uint32_t cf8 = p.configPorts.Address();
    const uint32_t bar = 0x80000000u | (layout_.barRegister & 0xFC);  // bus 0, device 0, function 0 on these boards
    unlock.insert(unlock.begin() + 2, {sim::IoR32(0xCF8, cf8), sim::IoW32(0xCF8, bar),
                                       sim::IoR32(0xCFC, static_cast<uint32_t>(layout_.pciExpressBase | 1)),
                                       sim::IoW32(0xCF8, bar + 4),
                                       sim::IoR32(0xCFC, static_cast<uint32_t>(layout_.pciExpressBase >> 32))});
    unlock.push_back(sim::IoW32(0xCF8, cf8));
  }
  const std::vector<sim::Access> tail(image.trace.end() - static_cast<long>(unlock.size()), image.trace.end());
  EXPECT_EQ(sim::TraceDifference(unlock, tail), "");
}

TEST_F(Board, TheImageUndoesEveryUnlock) {
  sim::Platform p(layout_);
  harness::ImageRun run(p);
  ASSERT_TRUE(run.Load(VEXA_BOARD_IMAGE)) << run.Fault();
  ASSERT_EQ(run.RunEntryPoint(), EFI_SUCCESS) << run.Fault();
  for (int i = 0; i < 100; ++i) {
    p.AttackerClearsGpioLock();
    ASSERT_TRUE(p.lpc.Locked()) << "unlock " << i;
  }
  EXPECT_EQ(run.HandlerRuns(), 100u);
  EXPECT_EQ(run.ViolationCount(), 0u) << run.Violations()[0];
}

}  // namespace

// The checked handler's cost per SMI on each of its paths, counted by the
// emulator (exact), beside the unchecked handler's 1 and 3 accesses:
//   test_board_qemu-q35 --gtest_filter='*WindowCheckFigures'
TEST_F(Board, WindowCheckFigures) {
  if (!layout_.windowCheck) GTEST_SKIP() << "the board has no window check";
  sim::Platform p(layout_);
  harness::ImageRun run(p);
  ASSERT_TRUE(run.Load(VEXA_BOARD_IMAGE)) << run.Fault();
  ASSERT_EQ(run.RunEntryPoint(), EFI_SUCCESS) << run.Fault();
  ASSERT_EQ(p.firmware.Registrations().size(), 1u);
  const uint64_t handler = p.firmware.Registrations()[0].guestHandler;
  const struct {
    const char *path;
    bool moved;
    uint8_t lock;
    uint64_t ports, memory;
  } rows[] = {
      {"window intact, lock set", false, 0x01, 6, 1},
      {"window intact, lock clear", false, 0x00, 6, 3},
      {"window moved, lock set", true, 0x01, 8, 0},
      {"window moved, lock clear", true, 0x00, 9, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.path);
    p.host.SetPciExBar(r.moved ? 0xB0000001u : layout_.pciExpressBase | 1);
    p.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = r.lock;
    ASSERT_EQ(run.CallHandler(handler, 0, 0, 0, 0), EFI_SUCCESS);
    const harness::RunFigures &f = run.LastHandlerFigures();
    std::printf("  SMI, %-28s %3llu instructions %2llu port %2llu memory-mapped\n", r.path,
                static_cast<unsigned long long>(f.instructions), static_cast<unsigned long long>(f.portAccesses),
                static_cast<unsigned long long>(f.memoryMappedAccesses));
    EXPECT_EQ(f.portAccesses, r.ports);
    EXPECT_EQ(f.memoryMappedAccesses, r.memory);
    EXPECT_LE(f.instructions, 40u);
    EXPECT_TRUE(p.lpc.Locked());
  }
  EXPECT_EQ(run.ViolationCount(), 0u) << run.Violations()[0];
}
