// The GPIO-unlock SMI handler and the entry that registers it, on the simulated chipset.

#include <gtest/gtest.h>

#include "AutoGen.h"
#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "support/TestSupport.h"
#include "VexaGpioUnlockSmm.h"
#include "sim/Platform.h"

using namespace sim;
using testsupport::TraceIs;

namespace {

constexpr uint64_t kLock = Platform::kGpioLockAddress;  // 0x800F804C

// A register whose reads follow a script; it shadows the lock byte so a test
// can change its value between the handler's two reads.
class ScriptedByte : public Device {
 public:
  explicit ScriptedByte(std::vector<uint8_t> reads) : reads_(std::move(reads)) {}
  const char *Name() const override { return "Scripted"; }
  uint32_t Read(Space, uint64_t, int) override {
    const uint8_t v = reads_[next_ < reads_.size() ? next_ : reads_.size() - 1];
    ++next_;
    return v;
  }
  void Write(Space, uint64_t, int, uint32_t value) override { written.push_back(static_cast<uint8_t>(value)); }
  std::vector<uint8_t> written;

 private:
  std::vector<uint8_t> reads_;
  size_t next_ = 0;
};

class GpioLockTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::UnbindModuleGlobals(); }
  // Binds the SMM system table as start-up would, then runs the module's entry.
  EFI_STATUS BindAndEnter() {
    EXPECT_EQ(SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
              EFI_SUCCESS);
    return VexaGpioUnlockSmmEntry(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
  }
  Platform platform;
};

TEST_F(GpioLockTest, LockAlreadySetIsOneByteReadAndNothingElse) {
  platform.lpc.Byte(0x4C) = 0xA5;
  EXPECT_EQ(GpioUnlockSmiHandler(nullptr, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {MemR8(kLock, 0xA5)}));
}

TEST_F(GpioLockTest, LockClearIsReadReadWriteWithBitZeroAddedToTheSecondRead) {
  ScriptedByte lock({0x80, 0x82});  // another agent sets bit 1 between the reads
  platform.bus.MapMem(kLock, kLock, &lock);
  EXPECT_EQ(GpioUnlockSmiHandler(nullptr, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(kLock, 0x80),  // lock clear
                                                MemR8(kLock, 0x82),  // MmioOr8 reads again
                                                MemW8(kLock, 0x83),  // second read | bit 0
                                            }));
}

TEST_F(GpioLockTest, HandlerFollowsTheWindowBaseVariable) {
  const uint64_t saved = PcdPciExpressBaseAddress;
  PcdPciExpressBaseAddress = 0xE00000000;  // above 4 GiB
  ScriptedByte lock({0x00});
  platform.bus.MapMem(0xE000F804C, 0xE000F804C, &lock);
  GpioUnlockSmiHandler(nullptr, nullptr, nullptr, nullptr);
  PcdPciExpressBaseAddress = saved;
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {MemR8(0xE000F804C, 0), MemR8(0xE000F804C, 0), MemW8(0xE000F804C, 1)}));
}

TEST_F(GpioLockTest, HandlerIgnoresHostileArguments) {
  platform.lpc.Byte(0x4C) = 0x00;
  UINTN size = 0xFFFFFFFFFFFFFFFFull;
  uint8_t buffer[4] = {};
  EXPECT_EQ(GpioUnlockSmiHandler(reinterpret_cast<EFI_HANDLE>(0xDEAD), buffer, buffer, &size), EFI_SUCCESS);
  EXPECT_EQ(size, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(platform.lpc.GpioLockByte(), 0x01);
}

TEST_F(GpioLockTest, EntryRegistersTheHandlerForSourceFortyEight) {
  EXPECT_EQ(BindAndEnter(), EFI_SUCCESS);
  ASSERT_EQ(platform.firmware.Registrations().size(), 1u);
  EXPECT_EQ(platform.firmware.Registrations()[0].source, 48u);
  EXPECT_EQ(platform.firmware.Registrations()[0].handler, &GpioUnlockSmiHandler);
  EXPECT_EQ(mSmiSourceDispatch, platform.firmware.SmiSourceDispatch());
  // The entry itself touches no register.
  EXPECT_TRUE(platform.bus.Trace().empty());
}

TEST_F(GpioLockTest, AttackerClearsTheLockAndEverySmiSetsItAgain) {
  ASSERT_EQ(BindAndEnter(), EFI_SUCCESS);
  platform.lpc.Byte(0x4C) = 0x61;  // locked, with other bits the handler must keep
  for (int attempt = 1; attempt <= 50; ++attempt) {
    platform.AttackerClearsGpioLock();
    ASSERT_TRUE(platform.lpc.Locked()) << "attempt " << attempt;
    ASSERT_EQ(platform.lpc.GpioLockByte(), 0x61);
    ASSERT_EQ(platform.SmisDelivered(), attempt);
  }
  EXPECT_EQ(platform.lpc.UnlockSmisRaised(), 50);
  for (EFI_STATUS s : platform.firmware.lastHandlerStatuses) EXPECT_EQ(s, EFI_SUCCESS);
}

TEST_F(GpioLockTest, AttackerTraceShowsTheHandlerRelockingRightAfterTheClearingWrite) {
  ASSERT_EQ(BindAndEnter(), EFI_SUCCESS);
  platform.lpc.Byte(0x4C) = 0x01;
  platform.bus.ClearTrace();
  platform.AttackerClearsGpioLock();
  EXPECT_TRUE(TraceIs(platform.bus.Trace(), {
                                                MemR8(kLock, 0x01),  // attacker reads
                                                MemW8(kLock, 0x00),  // attacker clears: SMI
                                                MemR8(kLock, 0x00),  // handler: lock clear
                                                MemR8(kLock, 0x00),  // MmioOr8 read
                                                MemW8(kLock, 0x01),  // relocked
                                            }));
}

TEST_F(GpioLockTest, WithoutTheHandlerTheLockStaysOpen) {
  // The chipset model alone does not relock: the module is what does.
  platform.AttackerClearsGpioLock();
  EXPECT_FALSE(platform.lpc.Locked());
  EXPECT_EQ(platform.SmisDelivered(), 1);
}

// A handler that clears the lock itself raises the SMI it is handling; the
// platform delivers a bounded number and drops the rest instead of spinning.
EFI_STATUS EFIAPI SelfUnlockingHandler(EFI_HANDLE, const VOID *, VOID *, UINTN *) {
  const uint32_t v = Bus::Current()->Read(Space::Mem, kLock, 8);
  Bus::Current()->Write(Space::Mem, kLock, 8, v | 1u);
  Bus::Current()->Write(Space::Mem, kLock, 8, v & ~1u);  // unlocks again: another SMI
  return EFI_SUCCESS;
}

TEST_F(GpioLockTest, AnSmiStormIsCutOffAfterABoundedNumberOfDeliveries) {
  UINT32 source = 48;
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(platform.firmware.Register(SelfUnlockingHandler, &source, &handle), EFI_SUCCESS);
  platform.AttackerClearsGpioLock();
  EXPECT_EQ(platform.SmisDelivered(), Platform::kMaxSmisPerAccess);
  EXPECT_EQ(platform.SmisDropped(), 1);
}

TEST_F(GpioLockTest, MissingDispatcherReturnsTheLocateStatusAndRegistersNothing) {
  platform.firmware.smiSourceDispatchPresent = false;
  EXPECT_EQ(BindAndEnter(), EFI_NOT_FOUND);
  EXPECT_EQ(platform.firmware.calls.registerHandler, 0);
  EXPECT_TRUE(platform.firmware.Registrations().empty());
}

TEST_F(GpioLockTest, FailingRegisterIsReturned) {
  platform.firmware.registerStatus = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(BindAndEnter(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(platform.firmware.calls.registerHandler, 1);
  platform.AttackerClearsGpioLock();
  EXPECT_FALSE(platform.lpc.Locked());
}

TEST_F(GpioLockTest, WarningFromRegisterIsReturnedAndTheHandlerIsRegistered) {
  platform.firmware.registerStatus = EFI_WARN_STALE_DATA;
  EXPECT_EQ(BindAndEnter(), EFI_WARN_STALE_DATA);
  EXPECT_EQ(platform.firmware.Registrations().size(), 1u);
}

TEST_F(GpioLockTest, EntryWithoutSmmSystemTableFailsWithoutTouchingIt) {
  gSmst = nullptr;
  EXPECT_EQ(VexaGpioUnlockSmmEntry(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
            EFI_UNSUPPORTED);
  EXPECT_EQ(platform.firmware.calls.smmLocateProtocol, 0);
}

}  // namespace
