// The image's figures, counted by the emulator (instruction counts are
// exact): per SMI with the lock set and clear, and for the whole boot.
// Printed for the record; the bounds the module promises are checked.
//
//   test_harness --gtest_filter='Figures.*'

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "RealImage.h"

namespace {

void Print(const char *what, const harness::RunFigures &f) {
  std::printf("  %-44s %8" PRIu64 " instructions %6" PRIu64 " port %4" PRIu64 " memory-mapped %5" PRIu64
              " stack bytes\n",
              what, f.instructions, f.portAccesses, f.memoryMappedAccesses, f.peakStackBytes);
}

TEST(Figures, PerSmiAndPerBoot) {
  std::printf("Figures of %s\n", realimage::ImagePath().c_str());
  const struct {
    const char *what;
    realimage::BootSettings settings;
  } boots[] = {
      {"boot: quiet, UART already set up", {}},
      {"boot: quiet, UART from reset", {0, 0, true}},
      {"boot: Start/Exit messages, UART from reset", {0x40, 0, true}},
  };
  for (const auto &b : boots) {
    sim::Platform platform;
    realimage::Booted booted;
    ASSERT_TRUE(realimage::Boot(platform, booted, b.settings));
    ASSERT_EQ(booted.status, EFI_SUCCESS);
    Print(b.what, booted.run->BootFigures());
    EXPECT_GT(booted.run->BootFigures().portAccesses, 0u);
    EXPECT_EQ(booted.run->BootFigures().memoryMappedAccesses, 0u);  // the boot touches no PCI Express register
  }

  sim::Platform platform;
  realimage::Booted booted;
  ASSERT_TRUE(realimage::Boot(platform, booted));
  const uint64_t handler = realimage::RegisteredHandler(platform);
  ASSERT_NE(handler, 0u);

  platform.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = 0x01;
  ASSERT_EQ(booted.run->CallHandler(handler, 0, 0, 0, 0), EFI_SUCCESS);
  const harness::RunFigures set = booted.run->LastHandlerFigures();
  Print("SMI, lock set", set);

  platform.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = 0x00;
  ASSERT_EQ(booted.run->CallHandler(handler, 0, 0, 0, 0), EFI_SUCCESS);
  const harness::RunFigures clear = booted.run->LastHandlerFigures();
  Print("SMI, lock clear", clear);

  EXPECT_LE(set.instructions, 8u);  // an SMI that finds the lock set costs next to nothing
  EXPECT_LE(clear.instructions, 12u);
  EXPECT_LT(set.instructions, clear.instructions);
  EXPECT_EQ(set.memoryMappedAccesses + set.portAccesses, 1u);
  EXPECT_EQ(clear.memoryMappedAccesses + clear.portAccesses, 3u);
  EXPECT_EQ(booted.run->ViolationCount(), 0u);
}

// A stack paint: the stack filled with a pattern, DebugPrint called with a
// "%g" (its engine renders the GUID with a nested engine), and the deepest
// byte no longer holding the pattern.  The paint and the emulator's record of
// the lowest stack write must agree; the figure is printed for comparison
// with the stack report's path (host/bench/stack_depth.py).
TEST(Figures, StackPaintOfADebugMessageWithAGuid) {
  sim::Platform platform;
  realimage::Booted booted;
  ASSERT_TRUE(realimage::Boot(platform, booted, {0x40}));
  const auto debugPrint = booted.map.Rva("DebugPrint");
  ASSERT_TRUE(debugPrint.has_value());

  const uint64_t format = harness::kSmramBase + 0x800, guid = format + 0x10;
  const uint8_t guidBytes[16] = {0x5B, 0x45, 0x97, 0x84, 0x89, 0xB4, 0xC7, 0x4A,
                                 0xBD, 0x51, 0x78, 0xDF, 0x4E, 0x1F, 0x1A, 0xCD};
  ASSERT_TRUE(booted.run->WriteGuest(format, "%g\n", 4));
  ASSERT_TRUE(booted.run->WriteGuest(guid, guidBytes, sizeof guidBytes));
  const uint64_t bottom = harness::kStackTop - harness::kStackSize;
  std::vector<uint8_t> stack(harness::kStackSize - 0x40, 0xA5);
  ASSERT_TRUE(booted.run->WriteGuest(bottom, stack.data(), stack.size()));

  booted.run->CallHandler(harness::kImageBase + *debugPrint, 0x40, format, guid, 0);
  platform.uart.DrainAll();
  EXPECT_NE(platform.uart.Sent().find("8497455B-B489-4AC7-BD51-78DF4E1F1ACD\r\n"), std::string::npos);

  ASSERT_TRUE(booted.run->ReadGuest(bottom, stack.data(), stack.size()));
  size_t lowest = 0;
  while (lowest < stack.size() && stack[lowest] == 0xA5) ++lowest;
  const uint64_t painted = harness::kStackTop - 0x20 - (bottom + lowest);  // below the caller's stack pointer
  std::printf("  DebugPrint(\"%%g\\n\"): %" PRIu64 " stack bytes by the paint, %" PRIu64 " by the emulator\n",
              painted, booted.run->LastHandlerFigures().peakStackBytes);
  EXPECT_EQ(painted, booted.run->LastHandlerFigures().peakStackBytes);
}

}  // namespace
