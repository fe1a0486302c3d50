// The emulated machine itself, probed with short code placed at the image's
// entry point: device accesses keep their width and reach the bus, INT3 is
// counted and stepped over, MXCSR starts at its reset value, and a run that
// leaves its bounds stops with a fault instead of going on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RealImage.h"
#include "support/TestSupport.h"

namespace {

constexpr uint64_t kScratchBase = 0xFED00000;

// A device that answers 0x12345600 | offset and keeps what is written.
class Scratch : public sim::Device {
 public:
  const char *Name() const override { return "SCRATCH"; }
  uint32_t Read(sim::Space, uint64_t offset, int) override { return 0x12345600u | static_cast<uint32_t>(offset); }
  void Write(sim::Space, uint64_t offset, int, uint32_t value) override { written.push_back({offset, value}); }
  std::vector<std::pair<uint64_t, uint32_t>> written;
};

std::vector<uint8_t> Address64(uint64_t a) {
  std::vector<uint8_t> out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(a >> (8 * i)));
  return out;
}
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Machine : public ::testing::Test {
 protected:
  void SetUp() override { platform_.bus.MapMem(kScratchBase, kScratchBase + 0xFFF, &scratch_); }
  EFI_STATUS RunAtEntry(const std::vector<uint8_t> &code) {
    EXPECT_TRUE(realimage::LoadImage(platform_, booted_));
    EXPECT_TRUE(booted_.run->WriteGuest(harness::kImageBase + booted_.run->Image().entryRva, code.data(), code.size()));
    return booted_.run->RunEntryPoint();
  }
  sim::Platform platform_;
  Scratch scratch_;
  realimage::Booted booted_;
};

TEST_F(Machine, DeviceAccessesReachTheBusAtTheirWidth) {
  const EFI_STATUS status = RunAtEntry(std::vector<uint8_t>{0xA0} + Address64(kScratchBase + 0x10) +  // mov al, [..10]
                                       std::vector<uint8_t>{0x66, 0xA1} + Address64(kScratchBase + 0x20) +  // mov ax
                                       std::vector<uint8_t>{0xA1} + Address64(kScratchBase + 0x30) +  // mov eax, [..30]
                                       std::vector<uint8_t>{0xA3} + Address64(kScratchBase + 0x40) +  // mov [..40], eax
                                       std::vector<uint8_t>{0xC3});
  EXPECT_EQ(booted_.run->Fault(), "");
  EXPECT_EQ(status, 0x12345630u);
  EXPECT_TRUE(testsupport::TraceIs(
      platform_.bus.Trace(),
      {sim::MemR8(kScratchBase + 0x10, 0x10), sim::MemR16(kScratchBase + 0x20, 0x5620),
       sim::MemR32(kScratchBase + 0x30, 0x12345630), sim::MemW32(kScratchBase + 0x40, 0x12345630)}));
  EXPECT_EQ(booted_.run->BootFigures().memoryMappedAccesses, 4u);
  EXPECT_EQ(booted_.run->BootFigures().instructions, 5u);
}

TEST_F(Machine, BreakpointsAreCountedAndSteppedOverAndMxcsrStartsAtReset) {
  // int3; int3; stmxcsr [rsp+8]; mov eax, [rsp+8]; ret
  const EFI_STATUS status = RunAtEntry({0xCC, 0xCC, 0x0F, 0xAE, 0x5C, 0x24, 0x08, 0x8B, 0x44, 0x24, 0x08, 0xC3});
  EXPECT_EQ(booted_.run->Fault(), "");
  EXPECT_EQ(status, 0x1F80u);
  EXPECT_EQ(booted_.run->BootFigures().breakpoints, 2u);
}

TEST_F(Machine, RunsThatLeaveTheirBoundsStopWithAFault) {
  const struct {
    const char *what;
    std::vector<uint8_t> code;
    const char *fault;
  } cases[] = {
      {"64-bit device read", std::vector<uint8_t>{0x48, 0xA1} + Address64(kScratchBase) + std::vector<uint8_t>{0xC3},
       "device access of 8 bytes"},
      {"null pointer", {0x8B, 0x04, 0x25, 0x00, 0x00, 0x00, 0x00, 0xC3}, "read of unmapped address 0x0"},
      {"jump into boot-services data", {0xFF, 0xE1}, "non-executable"},  // jmp rcx (the image handle)
      {"jump into SMRAM outside the image",
       std::vector<uint8_t>{0x48, 0xB8} + Address64(harness::ImageRun::kSmiSourceDispatch) +
           std::vector<uint8_t>{0xFF, 0xE0},  // mov rax, ...; jmp rax
       "instruction fetch outside the image's code"},
      {"endless loop", {0xEB, 0xFE}, "instruction budget"},
      {"firmware service it does not use",
       {0x48, 0x8B, 0x42, 0x60, 0xFF, 0x50, 0x18, 0xC3},  // gBS->AllocatePages
       "has no business calling"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    sim::Platform platform;
    realimage::Booted booted;
    ASSERT_TRUE(realimage::LoadImage(platform, booted));
    booted.run->bootInstructionBudget = 1'000'000;
    ASSERT_TRUE(
        booted.run->WriteGuest(harness::kImageBase + booted.run->Image().entryRva, c.code.data(), c.code.size()));
    EXPECT_EQ(booted.run->RunEntryPoint(), harness::kHarnessFault);
    EXPECT_NE(booted.run->Fault().find(c.fault), std::string::npos) << booted.run->Fault();
  }
}

}  // namespace
