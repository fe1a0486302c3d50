// The image's SMI handler stays inside its bounds: while it runs, every
// instruction comes from the image's code and every data access goes to the
// image, its stack or the GPIO lock byte, whatever the dispatcher hands it.
// The checks themselves are shown to fire on code that breaks each rule.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "RealImage.h"

namespace {

using harness::ImageRun;

constexpr int kDispatches = 100'000;

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(realimage::Boot(platform_, booted_));
    ASSERT_EQ(booted_.status, EFI_SUCCESS);
    handler_ = realimage::RegisteredHandler(platform_);
    ASSERT_NE(handler_, 0u);
  }
  ImageRun &Run() { return *booted_.run; }
  uint64_t Symbol(const char *name) { return harness::kImageBase + booted_.map.Rva(name).value(); }

  sim::Platform platform_;
  realimage::Booted booted_;
  uint64_t handler_ = 0;
};

// Arguments a hostile or broken dispatcher might pass.
uint64_t HostileArgument(std::mt19937_64 &rng, uint32_t imageSize) {
  switch (rng() % 7) {
    case 0:
      return 0;
    case 1:
      return harness::kSmramBase + rng() % harness::kSmramSize;  // into SMRAM
    case 2:
      return harness::kImageBase + rng() % imageSize;  // into the image itself
    case 3:
      return harness::kStackTop - 8 - rng() % 0x200;  // into the handler's own stack
    case 4:
      return harness::kBootServicesBase + rng() % harness::kBootServicesSize;  // out of SMRAM
    case 5:
      return 0x8000000000000000ull | rng();  // not canonical
    default:
      return rng();
  }
}

TEST_F(Confinement, HostileDispatchesStayInsideTheImageAndAlwaysSucceed) {
  ASSERT_FALSE(Run().BootServicesPointerSlots().empty()) << "the boot bound no boot-services pointer to guard";
  for (const char *global : {"gBS", "gST"}) {
    bool guarded = false;
    for (uint64_t slot : Run().BootServicesPointerSlots()) guarded = guarded || slot == Symbol(global);
    EXPECT_TRUE(guarded) << global << " is not among the guarded slots";
  }

  std::mt19937_64 rng(20261208);
  const uint32_t imageSize = Run().Image().sizeOfImage;
  int notSuccess = 0, unlocked = 0, wrongAccessCount = 0, wrongByte = 0;
  uint64_t lockSetInstructions = 0, lockClearInstructions = 0;
  for (int i = 0; i < kDispatches; ++i) {
    const uint8_t before = static_cast<uint8_t>(rng());
    platform_.lpc.Byte(sim::LpcBridge::kGpioLockRegister) = before;
    const EFI_STATUS status =
        Run().CallHandler(handler_, HostileArgument(rng, imageSize), HostileArgument(rng, imageSize),
                          HostileArgument(rng, imageSize), HostileArgument(rng, imageSize));
    const harness::RunFigures &f = Run().LastHandlerFigures();
    const bool wasLocked = (before & 1) != 0;
    notSuccess += status != EFI_SUCCESS;
    unlocked += !platform_.lpc.Locked();
    wrongAccessCount += f.memoryMappedAccesses + f.portAccesses != (wasLocked ? 1u : 3u);
    wrongByte += platform_.lpc.GpioLockByte() != (before | 1);
    (wasLocked ? lockSetInstructions : lockClearInstructions) = f.instructions;
    if ((i & 0xFFF) == 0) platform_.bus.ClearTrace();
  }
  EXPECT_EQ(Run().HandlerRuns(), static_cast<uint64_t>(kDispatches));
  EXPECT_EQ(Run().ViolationCount(), 0u) << Run().Violations().front();
  EXPECT_EQ(Run().Fault(), "");
  EXPECT_EQ(notSuccess, 0);
  EXPECT_EQ(unlocked, 0);
  EXPECT_EQ(wrongAccessCount, 0);
  EXPECT_EQ(wrongByte, 0);
  EXPECT_GT(lockSetInstructions, 0u);
  EXPECT_GT(lockClearInstructions, lockSetInstructions);
}

TEST_F(Confinement, CodeThatCallsOutOrTouchesPortsIsCaught) {
  // The entry point, run as if it were the handler: it calls the firmware
  // (boot-services memory, thunks) and programs the console's ports.
  Run().CallHandler(Symbol("ModuleEntryPoint"), harness::GuestFirmware::kImageHandle, ImageRun::kSystemTable, 0, 0);
  EXPECT_GT(Run().ViolationCount(), 0u);
  for (auto kind : {harness::ViolationKind::Callout, harness::ViolationKind::Data, harness::ViolationKind::Port})
    EXPECT_EQ(Run().ViolationKinds().count(kind), 1u) << harness::ViolationName(kind);
}

TEST_F(Confinement, FetchOutsideTheCodeIsCaught) {
  const uint64_t data = Symbol("PcdDebugPrintErrorLevel");
  EXPECT_EQ(Run().CallHandler(data, 0, 0, 0, 0), harness::kHarnessFault);
  ASSERT_GT(Run().ViolationCount(), 0u);
  EXPECT_NE(Run().Violations().front().find("instruction fetch outside the image's code"), std::string::npos)
      << Run().Violations().front();
}

// The handler's first bytes replaced, before anything runs them, by code
// that breaks one rule; then one dispatch.
class PatchedHandler : public ::testing::Test {
 protected:
  void Patch(std::vector<uint8_t> code, int rip32At = -1, uint64_t target = 0) {
    ASSERT_TRUE(realimage::LoadImage(platform_, booted_));
    handler_ = harness::kImageBase + booted_.map.Rva("GpioUnlockSmiHandler").value();
    if (rip32At >= 0) {  // a RIP-relative displacement to `target`, from the end of the instruction
      const int32_t disp = static_cast<int32_t>(target - (handler_ + rip32At + 4));
      std::memcpy(&code[rip32At], &disp, 4);
    }
    ASSERT_TRUE(booted_.run->WriteGuest(handler_, code.data(), code.size()));
    booted_.status = booted_.run->RunEntryPoint();
    ASSERT_EQ(booted_.status, EFI_SUCCESS) << booted_.run->Fault();
  }
  sim::Platform platform_;
  realimage::Booted booted_;
  uint64_t handler_ = 0;
};

TEST_F(PatchedHandler, ReadingABootServicesPointerIsCaught) {
  // mov rax, [rip + gBS]; xor eax, eax; ret
  pe::MapFile map;
  ASSERT_TRUE(map.Read(realimage::MapPath()));
  Patch({0x48, 0x8B, 0x05, 0, 0, 0, 0, 0x31, 0xC0, 0xC3}, 3, harness::kImageBase + map.Rva("gBS").value());
  EXPECT_EQ(booted_.run->CallHandler(handler_, 0, 0, 0, 0), EFI_SUCCESS);
  ASSERT_EQ(booted_.run->ViolationCount(), 1u);
  EXPECT_EQ(booted_.run->ViolationKinds(),
            std::set<harness::ViolationKind>{harness::ViolationKind::BootServicesPointer});
  EXPECT_NE(booted_.run->Violations()[0].find("boot-services pointer"), std::string::npos)
      << booted_.run->Violations()[0];
}

TEST_F(PatchedHandler, DereferencingAHostileArgumentIsCaught) {
  // mov al, [rdx] (the Context argument); xor eax, eax; ret
  Patch({0x8A, 0x02, 0x31, 0xC0, 0xC3});
  const struct {
    const char *what;
    uint64_t context;
    const char *violation;
  } cases[] = {
      {"into SMRAM, outside the image", harness::kSmramBase + 0x10, "handler read 1 bytes at 0x7F000010"},
      {"out of SMRAM", harness::kBootServicesBase, "handler read 1 bytes at 0x100000"},
      {"null", 0, "read of unmapped address 0x0"},
  };
  uint64_t seen = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    booted_.run->CallHandler(handler_, 0, c.context, 0, 0);
    ASSERT_GT(booted_.run->ViolationCount(), seen);
    EXPECT_NE(booted_.run->Violations()[seen].find(c.violation), std::string::npos) << booted_.run->Violations()[seen];
    seen = booted_.run->ViolationCount();
  }
  // An argument that points into the image's own stack is the handler's own memory.
  booted_.run->CallHandler(handler_, 0, harness::kStackTop - 0x100, 0, 0);
  EXPECT_EQ(booted_.run->ViolationCount(), seen);
}

TEST_F(PatchedHandler, RunningOffTheStackStopsTheRun) {
  // mov byte [rsp - 0x20000], 0; xor eax, eax; ret
  Patch({0xC6, 0x84, 0x24, 0x00, 0x00, 0xFE, 0xFF, 0x00, 0x31, 0xC0, 0xC3});
  EXPECT_EQ(booted_.run->CallHandler(handler_, 0, 0, 0, 0), harness::kHarnessFault);
  EXPECT_NE(booted_.run->Fault().find("unused SMRAM"), std::string::npos) << booted_.run->Fault();
  EXPECT_EQ(booted_.run->ViolationKinds(), std::set<harness::ViolationKind>{harness::ViolationKind::Data});
}

TEST_F(PatchedHandler, EveryByteOfAWriteIsChecked) {
  // mov [rdx], eax (4 bytes at the Context argument); xor eax, eax; ret
  Patch({0x89, 0x02, 0x31, 0xC0, 0xC3});
  const uint64_t imageEnd = harness::kImageBase + booted_.run->Image().sizeOfImage;
  const uint64_t stackFirst = harness::kStackTop - harness::kStackSize;
  const struct {
    const char *what;
    uint64_t at;
    const char *violation;  // null: none
    const char *fault;      // null: the handler returns
  } cases[] = {
      {"the lock byte and the three after it", sim::Platform::kGpioLockAddress, "wrote 4 bytes at 0x800F804C", nullptr},
      {"the image's last 4 bytes", imageEnd - 4, nullptr, nullptr},
      {"one byte past the image", imageEnd - 3, "wrote 4 bytes at", "write to unused SMRAM"},
      {"the first bytes after the image", imageEnd, "wrote 4 bytes at", "write to unused SMRAM"},
      {"the last bytes below the stack", stackFirst - 4, "wrote 4 bytes at", "write to unused SMRAM"},
      {"the stack's first bytes", stackFirst, nullptr, nullptr},
  };
  size_t seen = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const EFI_STATUS status = booted_.run->CallHandler(handler_, 0, c.at, 0, 0);
    const auto &violations = booted_.run->Violations();
    if (c.violation == nullptr) {
      EXPECT_EQ(violations.size(), seen);
    } else {
      EXPECT_NE(violations.size() > seen ? violations[seen].find(c.violation) : std::string::npos, std::string::npos)
          << (violations.size() > seen ? violations[seen] : "no violation");
    }
    seen = violations.size();
    EXPECT_EQ(status, c.fault == nullptr ? EFI_SUCCESS : harness::kHarnessFault);
    if (c.fault != nullptr) EXPECT_NE(booted_.run->Fault().find(c.fault), std::string::npos) << booted_.run->Fault();
  }
}

TEST_F(PatchedHandler, ABreakpointNamesTheLatestReportOnTheStack) {
  // sub rsp, 0x200; int3; add rsp, 0x200; xor eax, eax; ret, with a report
  // near the stack pointer and an older one deeper in the stack.
  Patch({0x48, 0x81, 0xEC, 0x00, 0x02, 0x00, 0x00, 0xCC, 0x48, 0x81, 0xC4, 0x00, 0x02, 0x00, 0x00, 0x31, 0xC0, 0xC3});
  const uint64_t rsp = harness::kStackTop - 0x28 - 0x200;
  const char latest[] = "ASSERT Latest(2): new\r\n", stale[] = "ASSERT Stale(1): old\r\n";
  ASSERT_TRUE(booted_.run->WriteGuest(rsp + 0x10, latest, sizeof latest));
  ASSERT_TRUE(booted_.run->WriteGuest(rsp + 0x100, stale, sizeof stale));
  EXPECT_EQ(booted_.run->CallHandler(handler_, 0, 0, 0, 0), EFI_SUCCESS);
  ASSERT_EQ(booted_.run->CountOf(harness::FindingKind::Breakpoint), 1u);
  EXPECT_EQ(booted_.run->Findings().back().text, "ASSERT Latest(2): new");
}

TEST_F(PatchedHandler, AHandlerThatUnlocksItselfIsCutOff) {
  // mov al, 1; mov [lock], al; mov al, 0; mov [lock], al; xor eax, eax; ret:
  // every run locks and unlocks, raising the SMI again.
  std::vector<uint8_t> code;
  for (uint8_t value : {1, 0}) {
    code.insert(code.end(), {0xB0, value, 0xA2});
    for (int i = 0; i < 8; ++i) code.push_back(static_cast<uint8_t>(sim::Platform::kGpioLockAddress >> (8 * i)));
  }
  code.insert(code.end(), {0x31, 0xC0, 0xC3});
  Patch(code);
  EXPECT_EQ(booted_.run->CallHandler(handler_, 0, 0, 0, 0), harness::kHarnessFault);
  EXPECT_NE(booted_.run->Fault().find("kept coming"), std::string::npos) << booted_.run->Fault();
  EXPECT_EQ(booted_.run->HandlerRuns(), 1001u);  // the dispatch, then the chain up to its cut
  // The lock byte is the handler's to touch, but only to set bit 0 of what it read.
  EXPECT_EQ(booted_.run->ViolationKinds(), std::set<harness::ViolationKind>{harness::ViolationKind::LockValue});
}

}  // namespace

// A board with the window check: its handler may use 0xCF8 and 0xCFC-0xCFF,
// only to select the window register's two halves or the lock, or to give
// 0xCF8 back what it found there; any other port or selection is a breach.
TEST(WindowCheckPorts, OnlyTheNamedRegistersAndTheFoundValue) {
  harness::Confinement rules;
  EXPECT_FALSE(rules.PortAllowed(0xCF8, 4, false, 0, 0));  // no check: no port at all
  rules.SetConfigAddresses({0x80000060u, 0x80000064u, 0x8000F84Cu});
  const struct {
    const char *step;
    uint16_t port;
    int bytes;
    bool write;
    uint32_t value, selected;
    bool allowed;
  } steps[] = {
      {"0xCF8 found", 0xCF8, 4, false, 0x8000F8A8u, 0, true},
      {"PCIEXBAR selected", 0xCF8, 4, true, 0x80000060u, 0, true},
      {"its low half read", 0xCFC, 4, false, 0, 0x80000060u, true},
      {"the lock's byte written", 0xCFC, 1, true, 0x11, 0x8000F84Cu, true},
      {"0xCF8 given back", 0xCF8, 4, true, 0x8000F8A8u, 0, true},
      {"another register selected", 0xCF8, 4, true, 0x8000F880u, 0, false},
      {"data through another selection", 0xCFC, 1, true, 0x01, 0x8000F880u, false},
      {"0xCF8 written in bytes", 0xCF8, 1, true, 0x60, 0, false},
      {"another port", 0x80, 1, true, 0x55, 0x80000060u, false},
  };
  rules.BeginHandlerRun();
  for (const auto &s : steps)
    EXPECT_EQ(rules.PortAllowed(s.port, s.bytes, s.write, s.value, s.selected), s.allowed) << s.step;
}
