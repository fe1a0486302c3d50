// The image's figures, counted by the emulator (instruction counts are
// exact): per SMI with the lock set and clear, and for the whole boot.
// Printed for the record; the bounds the module promises are checked.
//
//   test_harness --gtest_filter='Figures.*'

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>

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

}  // namespace
