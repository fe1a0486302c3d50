// ModuleEntryPoint on the simulated platform, as the firmware's SMM core
// calls it: the console comes up, the tables are bound, the handler is
// registered, and from then on every unlock is undone.  Then the failure
// paths, and the start-up settings a platform may choose.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "AutoGen.h"
#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "Library/UefiDriverEntryPoint.h"
#include "VexaGpioUnlockSmm.h"
#include "sim/Platform.h"
#include "support/TestSupport.h"

namespace {

std::string ReportPattern(const std::string &file, const std::string &text) {
  return "ASSERT " + file +
         "\\([0-9]+\\): " + std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") + "\r\n";
}

class EntryPointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::UnbindModuleGlobals();
    mDriverEntryPointStatus = EFI_SUCCESS;
  }

  EFI_STATUS Load() { return ModuleEntryPoint(firmware.ImageHandle(), firmware.SystemTable()); }

  std::string Console() { return testsupport::ConsoleText(platform); }

  // Accesses to the given ports, in order.
  std::vector<sim::Access> PortAccesses(uint64_t first, uint64_t last) const {
    std::vector<sim::Access> out;
    for (const sim::Access &a : platform.bus.Trace()) {
      if (a.space == sim::Space::Io && a.address >= first && a.address <= last) out.push_back(a);
    }
    return out;
  }

  sim::Platform platform;
  sim::FakeFirmware &firmware = platform.firmware;
  testsupport::BreakpointCounter breakpoints;
};

// The order of start-up as the firmware sees it: the UART is programmed
// before the first boot service is called, and by then (the SMM
// constructor's call) the boot services are bound.
struct FirstServiceCall {
  static inline bool seen = false;
  static inline uint8_t uartLineControl = 0;
  static inline uint16_t uartDivisor = 0;
  static inline bool bootServicesBound = false;
  static inline sim::Platform *platform = nullptr;
  static inline EFI_LOCATE_PROTOCOL forward = nullptr;

  static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *protocol, VOID *registration, VOID **interface) {
    if (!seen) {
      seen = true;
      uartLineControl = platform->uart.LineControl();
      uartDivisor = platform->uart.Divisor();
      bootServicesBound = gBS != nullptr;
    }
    return forward(protocol, registration, interface);
  }
};

}  // namespace

TEST_F(EntryPointTest, LoadBringsTheConsoleUpBindsTheTablesAndRegistersTheHandler) {
  platform.uart.PowerOnReset();  // nothing before the module has set the UART up
  FirstServiceCall::seen = false;
  FirstServiceCall::platform = &platform;
  FirstServiceCall::forward = firmware.BootServices()->LocateProtocol;
  firmware.BootServices()->LocateProtocol = FirstServiceCall::LocateProtocol;
  // The first register access (the console's platform hook) comes before any table is bound.
  int tablesBoundAtFirstAccess = -1;
  const std::function<void()> deliverSmis = platform.bus.afterAccess;
  platform.bus.afterAccess = [&] {
    if (tablesBoundAtFirstAccess < 0) tablesBoundAtFirstAccess = gImageHandle != nullptr || gST != nullptr;
    deliverSmis();
  };

  EXPECT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(tablesBoundAtFirstAccess, 0);

  // Legacy decode, through configuration mechanism #1.
  EXPECT_TRUE(
      testsupport::TraceIs(PortAccesses(0xCF8, 0xCFF), {sim::IoW32(0xCF8, 0x8000F880), sim::IoW32(0xCFC, 0x040B1010)}));
  EXPECT_EQ(platform.lpc.Dword(0x80), 0x040B1010u);
  // The Super I/O's serial port 1 at 0x3F8, active.
  EXPECT_TRUE(platform.superIo.Active(2));
  EXPECT_EQ(platform.superIo.IoBase(2), 0x3F8);
  // The UART: 8N1 at 115200 (CMOS selector 0x00), FIFOs on.
  EXPECT_EQ(platform.uart.LineControl(), 0x03);
  EXPECT_EQ(platform.uart.Divisor(), 1);
  EXPECT_TRUE(platform.uart.FifosEnabled());
  ASSERT_TRUE(FirstServiceCall::seen);
  EXPECT_EQ(FirstServiceCall::uartLineControl, 0x03) << "the console is up before any table is bound";
  EXPECT_EQ(FirstServiceCall::uartDivisor, 1);
  EXPECT_TRUE(FirstServiceCall::bootServicesBound) << "the boot-services constructor runs before the SMM one";

  // The tables.
  EXPECT_EQ(gImageHandle, firmware.ImageHandle());
  EXPECT_EQ(gST, firmware.SystemTable());
  EXPECT_EQ(gBS, firmware.BootServices());
  EXPECT_EQ(mInternalSmmBase2, firmware.SmmBase2());
  EXPECT_EQ(gSmst, firmware.Smst());

  // The handler, for source 48, once.
  ASSERT_EQ(firmware.Registrations().size(), 1u);
  EXPECT_EQ(firmware.Registrations()[0].handler, &GpioUnlockSmiHandler);
  EXPECT_EQ(firmware.Registrations()[0].source, 48u);
  EXPECT_EQ(mDriverEntryPointStatus, EFI_SUCCESS);

  // The configured settings: no unload callback, and nothing reported.
  EXPECT_EQ(firmware.calls.handleProtocol, 0);
  EXPECT_EQ(firmware.LoadedImage()->Unload, nullptr);
  EXPECT_EQ(breakpoints.Count(), 0);
  EXPECT_EQ(Console(), "") << "print level 0: no message";
}

TEST_F(EntryPointTest, EveryUnlockAfterLoadIsUndone) {
  ASSERT_EQ(Load(), EFI_SUCCESS);
  ASSERT_TRUE(platform.lpc.Locked());

  constexpr int kAttempts = 100;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    platform.AttackerClearsGpioLock();
    ASSERT_TRUE(platform.lpc.Locked()) << "attempt " << attempt;
  }
  EXPECT_EQ(platform.lpc.UnlockSmisRaised(), kAttempts);
  EXPECT_EQ(platform.SmisDelivered(), kAttempts);
  EXPECT_EQ(firmware.lastHandlerStatuses, std::vector<EFI_STATUS>{EFI_SUCCESS});
  EXPECT_EQ(breakpoints.Count(), 0);
}

TEST_F(EntryPointTest, WithoutTheModuleTheUnlockStays) {
  // The platform itself does not re-lock: the module is what does.
  platform.AttackerClearsGpioLock();
  EXPECT_FALSE(platform.lpc.Locked());
  EXPECT_EQ(platform.SmisDelivered(), 1);
}

TEST_F(EntryPointTest, EntryErrorsBecomeTheLoadStatus) {
  struct Case {
    const char *name;
    bool dispatcherPresent;
    EFI_STATUS registerStatus;
    EFI_STATUS expected;
    int registerCalls;
    bool dispatcherNull = false;
  };
  const Case cases[] = {
      {"dispatcher missing", false, EFI_SUCCESS, EFI_NOT_FOUND, 0},
      {"dispatcher found, but null", true, EFI_SUCCESS, EFI_NOT_FOUND, 0, true},
      {"Register fails", true, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, 1},
      {"Register out of resources", true, EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Platform local;
    local.firmware.smiSourceDispatchPresent = c.dispatcherPresent;
    local.firmware.smiSourceDispatchNull = c.dispatcherNull;
    local.firmware.registerStatus = c.registerStatus;

    EXPECT_EQ(ModuleEntryPoint(local.firmware.ImageHandle(), local.firmware.SystemTable()), c.expected);
    EXPECT_EQ(mDriverEntryPointStatus, c.expected);
    EXPECT_EQ(local.firmware.calls.registerHandler, c.registerCalls);
    EXPECT_TRUE(local.firmware.Registrations().empty());

    // Nothing defends the lock now.
    local.AttackerClearsGpioLock();
    EXPECT_FALSE(local.lpc.Locked());
  }
  EXPECT_EQ(breakpoints.Count(), 0) << "entry errors are returned, not reported";
}

TEST_F(EntryPointTest, AWarningFromTheEntryIsReturnedAndCountsAsLoaded) {
  firmware.registerStatus = EFI_WARN_STALE_DATA;

  EXPECT_EQ(Load(), EFI_WARN_STALE_DATA);
  EXPECT_EQ(mDriverEntryPointStatus, EFI_WARN_STALE_DATA);
  ASSERT_EQ(firmware.Registrations().size(), 1u);
  platform.AttackerClearsGpioLock();
  EXPECT_TRUE(platform.lpc.Locked());
}

TEST_F(EntryPointTest, AFailingConstructorIsReportedAndStartUpGoesOn) {
  // No SMM Base2: the SMM constructor reports, returns success, and leaves
  // the SMM table unbound; the entry then has nothing to register with.
  firmware.smmBase2Present = false;

  EXPECT_EQ(Load(), EFI_UNSUPPORTED);
  EXPECT_EQ(gST, firmware.SystemTable()) << "the constructors before it have run";
  EXPECT_EQ(gSmst, nullptr);
  EXPECT_TRUE(firmware.Registrations().empty());
  EXPECT_TRUE(std::regex_match(
      Console(),
      std::regex(ReportPattern("MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib", "!EFI_ERROR (Status)") +
                 ReportPattern("MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib",
                               "mInternalSmmBase2 != ((void *) 0)"))))
      << Console();
}

TEST_F(EntryPointTest, ADeadUartFailsTheDebugConstructorAndStartUpGoesOn) {
  // The UART must be reprogrammed (CMOS asks for 9600) but never drains.
  platform.cmos.Byte(sim::Cmos::kSerialBaudIndex) = 0x06;
  platform.uart.faults.transmitterStuck = true;

  EXPECT_EQ(Load(), EFI_SUCCESS);
  // The report of the failed constructor (AutoGen) could not reach the
  // line, but it was made: its breakpoint was hit, once.
  EXPECT_EQ(breakpoints.Count(), 1);
  EXPECT_EQ(gSmst, firmware.Smst()) << "the later constructors have run";
  ASSERT_EQ(firmware.Registrations().size(), 1u);
  platform.AttackerClearsGpioLock();
  EXPECT_TRUE(platform.lpc.Locked());
}

namespace {
// In front of the UART: its transmitter looks stuck (LSR reads 0) through one
// wait, and recovers at the first access to any other register after it.
class UartStuckForOneWait : public sim::Device {
 public:
  explicit UartStuckForOneWait(sim::Platform &platform) : platform_(platform) {
    platform.bus.MapIo(sim::Platform::kUartBase, sim::Platform::kUartBase + 7, this);
  }
  ~UartStuckForOneWait() override { platform_.bus.Unmap(this); }
  const char *Name() const override { return "UART"; }
  uint32_t Read(sim::Space space, uint64_t offset, int width) override {
    if (offset == sim::Uart16550::kLsr) {
      if (stuck_) {
        waited_ = true;
        return 0x00;
      }
    } else if (waited_) {
      stuck_ = false;
    }
    return platform_.uart.Read(space, offset, width);
  }
  void Write(sim::Space space, uint64_t offset, int width, uint32_t value) override {
    if (waited_) stuck_ = false;
    platform_.uart.Write(space, offset, width, value);
  }

 private:
  sim::Platform &platform_;
  bool stuck_ = true, waited_ = false;
};
}  // namespace

TEST_F(EntryPointTest, TheDebugConstructorsFailureIsReportedUnderAutoGen) {
  // CMOS asks for 9600 baud, so the UART must be reprogrammed, and the wait
  // for it to drain first runs out.
  platform.cmos.Byte(sim::Cmos::kSerialBaudIndex) = 0x06;
  UartStuckForOneWait overlay(platform);

  EXPECT_EQ(Load(), EFI_SUCCESS);
  EXPECT_TRUE(std::regex_match(Console(), std::regex(ReportPattern("AutoGen", "!EFI_ERROR (Status)")))) << Console();
  EXPECT_EQ(breakpoints.Count(), 1);
  EXPECT_EQ(gSmst, firmware.Smst()) << "the later constructors have run";
  EXPECT_EQ(firmware.Registrations().size(), 1u);
}

// The start-up settings a platform may choose (the image's are 0 and 0).
TEST_F(EntryPointTest, RevisionCheck) {
  const UINT32 firmwareRevision = firmware.SystemTable()->Hdr.Revision;
  struct Case {
    const char *name;
    UINT32 driverRevision;
    bool loads;
  };
  const Case cases[] = {
      {"0 turns the check off", 0, true},
      {"below the firmware's", firmwareRevision - 1, true},
      {"equal to the firmware's", firmwareRevision, true},
      {"one above", firmwareRevision + 1, false},
      {"far above (unsigned compare)", 0xFFFFFFFF, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    sim::Platform local;

    const EFI_STATUS status =
        DriverEntryPointWithSettings(c.driverRevision, 0, local.firmware.ImageHandle(), local.firmware.SystemTable());

    if (c.loads) {
      EXPECT_EQ(status, EFI_SUCCESS);
      EXPECT_EQ(local.firmware.Registrations().size(), 1u);
    } else {
      EXPECT_EQ(status, EFI_INCOMPATIBLE_VERSION);
      // Rejected before any constructor: no register access, no firmware call, nothing bound.
      EXPECT_TRUE(local.bus.Trace().empty());
      EXPECT_EQ(local.firmware.calls.locateProtocol, 0);
      EXPECT_EQ(local.firmware.calls.registerHandler, 0);
      EXPECT_EQ(gST, nullptr);
    }
  }
}

TEST_F(EntryPointTest, WithRevisionZeroTheTableHeaderIsNeverRead) {
  // A copy of the system table whose header (signature and revision, its
  // first 16 bytes) lies on a page that cannot be read: reading the revision
  // would fault.
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  void *pages = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  auto *table = reinterpret_cast<EFI_SYSTEM_TABLE *>(static_cast<uint8_t *>(pages) + page - 16);
  std::memcpy(table, firmware.SystemTable(), sizeof *table);
  ASSERT_EQ(::mprotect(pages, page, PROT_NONE), 0);

  EXPECT_EQ(ModuleEntryPoint(firmware.ImageHandle(), table), EFI_SUCCESS);
  EXPECT_EQ(gST, table);
  EXPECT_EQ(firmware.Registrations().size(), 1u);

  ::munmap(pages, 2 * page);
}

TEST_F(EntryPointTest, RevisionZeroAcceptsATableOfAnyRevision) {
  firmware.SystemTable()->Hdr.Revision = 0;
  EXPECT_EQ(Load(), EFI_SUCCESS);
}

TEST_F(EntryPointTest, ARevisionWithoutATableIsRejected) {
  EXPECT_EQ(DriverEntryPointWithSettings(1, 0, firmware.ImageHandle(), nullptr), EFI_INCOMPATIBLE_VERSION);
  EXPECT_TRUE(platform.bus.Trace().empty());
}

TEST_F(EntryPointTest, UnloadHandlerIsInstalledWhenConfiguredAndSucceeds) {
  EXPECT_EQ(DriverEntryPointWithSettings(0, 1, firmware.ImageHandle(), firmware.SystemTable()), EFI_SUCCESS);

  EXPECT_EQ(firmware.calls.handleProtocol, 1);
  ASSERT_EQ(firmware.LoadedImage()->Unload, &DriverUnloadHandler);
  EXPECT_EQ(firmware.Registrations().size(), 1u) << "the entry still runs";

  // The firmware unloads the image: success, and the handler stays
  // registered (nothing in the module unregisters it).
  EXPECT_EQ(firmware.LoadedImage()->Unload(firmware.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(firmware.calls.unregisterHandler, 0);
  EXPECT_EQ(breakpoints.Count(), 0);
}

TEST_F(EntryPointTest, AMissingLoadedImageIsReportedAndNothingIsWritten) {
  firmware.loadedImagePresent = false;

  EXPECT_EQ(DriverEntryPointWithSettings(0, 1, firmware.ImageHandle(), firmware.SystemTable()), EFI_SUCCESS);

  EXPECT_EQ(firmware.LoadedImage()->Unload, nullptr);
  EXPECT_TRUE(std::regex_match(
      Console(),
      std::regex(ReportPattern("MdePkg/Library/UefiDriverEntryPoint/DriverEntryPoint", "!EFI_ERROR (Status)"))))
      << Console();
  EXPECT_EQ(breakpoints.Count(), 1);
}

TEST_F(EntryPointTest, UnloadHandlerReturnsSuccessOnItsOwn) {
  EXPECT_EQ(DriverUnloadHandler(firmware.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(ProcessModuleUnloadList(firmware.ImageHandle()), EFI_SUCCESS);
}

// ExitDriver keeps a success already recorded when a later error comes; the
// entry list starts each run from EFI_LOAD_ERROR, so the entry's own status is
// what a load returns (see EntryErrorsBecomeTheLoadStatus).
TEST_F(EntryPointTest, ExitDriverRecordsByTheRule) {
  struct Case {
    EFI_STATUS recorded, given, expected;
  };
  const Case cases[] = {
      {EFI_LOAD_ERROR, EFI_SUCCESS, EFI_SUCCESS},
      {EFI_LOAD_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},
      {EFI_LOAD_ERROR, EFI_WARN_STALE_DATA, EFI_WARN_STALE_DATA},
      {EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_SUCCESS},
      {EFI_WARN_STALE_DATA, EFI_DEVICE_ERROR, EFI_WARN_STALE_DATA},
      {EFI_SUCCESS, EFI_WARN_STALE_DATA, EFI_WARN_STALE_DATA},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    mDriverEntryPointStatus = c.recorded;
    volatile int jumps = 0;
    const UINTN result = SetJump(&mJumpContext);
    if (result == 0) {
      ++jumps;
      ExitDriver(c.given);
    }
    EXPECT_EQ(result, ~UINTN{0}) << "ExitDriver jumps with all ones";
    EXPECT_EQ(jumps, 1);
    EXPECT_EQ(mDriverEntryPointStatus, c.expected);
  }
}
