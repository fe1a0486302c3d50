// Assertion reports of the register access layer, the constructors and the
// entry, as they reach the debug UART: exact texts and file names, the
// breakpoint after each, and what the operation does once the report returns.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "AutoGen.h"
#include "Library/IoLib.h"
#include "Library/PciExpressLib.h"
#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "VexaGpioUnlockSmm.h"
#include "sim/Platform.h"
#include "support/TestSupport.h"

using namespace sim;

namespace {

using Report = testsupport::AssertionReport;

class AssertionReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::UnbindModuleGlobals();
    savedLevel_ = PcdDebugPrintErrorLevel;
  }
  void TearDown() override { PcdDebugPrintErrorLevel = savedLevel_; }

  std::string Console() { return testsupport::ConsoleText(platform); }
  std::vector<Report> Reports() { return testsupport::AssertionReports(Console()); }
  size_t MemoryAccesses() const {
    size_t n = 0;
    for (const Access &a : platform.bus.Trace()) n += a.space == Space::Mem;
    return n;
  }

  Platform platform;
  testsupport::BreakpointCounter breakpoints;

 private:
  UINT32 savedLevel_ = 0;
};

const char kPciExpressLib[] = "MdePkg/Library/BasePciExpressLib/PciExpressLib";
const char kIoLib[] = "MdePkg/Library/BaseIoLibIntrinsic/IoLib";
const char kRange[] = "((Address) & ~0xfffffff) == 0";

TEST_F(AssertionReportTest, AddressPastTheWindowIsReportedAndNeverAccessed) {
  EXPECT_EQ(PciExpressRead8(0x0FFFFFFF), 0xFF);  // the window's last byte, word and dword: in range
  EXPECT_EQ(PciExpressRead16(0x0FFFFFFE), 0xFFFF);
  EXPECT_EQ(PciExpressRead32(0x0FFFFFFC), 0xFFFFFFFFu);
  EXPECT_EQ(breakpoints.Count(), 0);
  EXPECT_EQ(MemoryAccesses(), 3u);

  EXPECT_EQ(PciExpressRead8(0x10000000), 0xFF);
  EXPECT_EQ(PciExpressRead16(0x10000000), 0xFFFF);
  EXPECT_EQ(PciExpressRead32(0xFFFFFFFFFFFFF000ull), 0xFFFFFFFFu);
  EXPECT_EQ(PciExpressWrite32(0x100F804C, 0), 0u);
  EXPECT_EQ(PciExpressOr16(0x10000004, 1), 0xFFFF);
  EXPECT_EQ(PciExpressAnd16(0x10000004, 0), 0xFFFF);
  // Misaligned at the window's top: the last bytes would lie past its end.
  EXPECT_EQ(PciExpressRead16(0x0FFFFFFF), 0xFFFF);
  EXPECT_EQ(PciExpressOr16(0x0FFFFFFF, 1), 0xFFFF);
  EXPECT_EQ(PciExpressAnd16(0x0FFFFFFF, 0), 0xFFFF);
  EXPECT_EQ(PciExpressRead32(0x0FFFFFFD), 0xFFFFFFFFu);
  EXPECT_EQ(PciExpressWrite32(0x0FFFFFFE, 5), 5u);
  EXPECT_EQ(MemoryAccesses(), 3u);  // nothing reached memory outside the window
  EXPECT_EQ(breakpoints.Count(), 11);
  const std::vector<Report> expected(11, Report{kPciExpressLib, kRange});
  EXPECT_EQ(Reports(), expected);
}

TEST_F(AssertionReportTest, MisalignedAccessesAreReportedByTheMemoryOperation) {
  (void)MmioRead16(0xFED00001);
  (void)MmioRead32(0xFED00002);
  (void)MmioWrite32(0xFED00001, 0);
  (void)MmioOr16(0xFED00003, 1);                                    // checked in its read and in its write
  (void)PciExpressRead16(PCI_EXPRESS_LIB_ADDRESS(0, 31, 0, 0x4D));  // range passes, alignment fails
  EXPECT_EQ(Reports(), (std::vector<Report>{
                           {kIoLib, "(Address & 1) == 0"},
                           {kIoLib, "(Address & 3) == 0"},
                           {kIoLib, "(Address & 3) == 0"},
                           {kIoLib, "(Address & 1) == 0"},
                           {kIoLib, "(Address & 1) == 0"},
                           {kIoLib, "(Address & 1) == 0"},
                       }));
  EXPECT_EQ(breakpoints.Count(), 6);
  // Once the report returns the access is still made, unchanged, as x86 allows.
  std::vector<std::string> made;
  for (const Access &a : platform.bus.Trace()) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%d 0x%llX", a.dir == Dir::Read ? 'r' : 'w', a.width,
                  static_cast<unsigned long long>(a.address));
    if (a.space == Space::Mem) made.push_back(text);
  }
  EXPECT_EQ(made, (std::vector<std::string>{"r16 0xFED00001", "r32 0xFED00002", "w32 0xFED00001", "r16 0xFED00003",
                                            "w16 0xFED00003", "r16 0x800F804D"}));
}

TEST_F(AssertionReportTest, MisalignedPortDwordNamesIoLibMsc) {
  IoWrite32(0xCFA, 0x12345678);
  EXPECT_EQ(Reports(), (std::vector<Report>{{"MdePkg/Library/BaseIoLibIntrinsic/IoLibMsc", "(Port & 3) == 0"}}));
}

TEST_F(AssertionReportTest, ReportCarriesTheSitesLineAndEndsInCarriageReturnLineFeed) {
  (void)PciExpressRead8(0x10000000);
  const std::string console = Console();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(console, m, std::regex(R"(ASSERT (\S+)\((\d+)\): (.*)\r\n)")));
  EXPECT_EQ(m[1], kPciExpressLib);
  EXPECT_GT(std::stoi(m[2]), 0);
  EXPECT_EQ(console.find("/work"), std::string::npos);  // no build path
}

TEST_F(AssertionReportTest, BootServicesConstructorReportsEachNullAfterStoringIt) {
  EFI_SYSTEM_TABLE noBootServices = *platform.firmware.SystemTable();
  noBootServices.BootServices = nullptr;
  EXPECT_EQ(UefiBootServicesTableLibConstructor(nullptr, &noBootServices), EFI_SUCCESS);
  EXPECT_EQ(gST, &noBootServices);
  EXPECT_EQ(gBS, nullptr);
  const char file[] = "MdePkg/Library/UefiBootServicesTableLib/UefiBootServicesTableLib";
  EXPECT_EQ(Reports(), (std::vector<Report>{{file, "gImageHandle != ((void *) 0)"}, {file, "gBS != ((void *) 0)"}}));

  EXPECT_EQ(UefiBootServicesTableLibConstructor(platform.firmware.ImageHandle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(Reports().size(), 4u);
  EXPECT_EQ(Reports()[2], (Report{file, "gST != ((void *) 0)"}));
}

// InSmm's and GetSmstLocation's statuses are not looked at; only the table
// pointer is, and its absence is reported.
TEST_F(AssertionReportTest, SmmBase2StatusesAreIgnoredAndANullTableIsReported) {
  const char file[] = "MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib";
  platform.firmware.inSmmStatus = EFI_DEVICE_ERROR;  // answers TRUE all the same
  EXPECT_EQ(SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
            EFI_SUCCESS);
  EXPECT_EQ(gSmst, platform.firmware.Smst());
  EXPECT_TRUE(Reports().empty());

  gSmst = nullptr;
  platform.firmware.smstLocated = false;
  EXPECT_EQ(SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
            EFI_SUCCESS);
  EXPECT_EQ(gSmst, nullptr);
  EXPECT_EQ(Reports(), (std::vector<Report>{{file, "gSmst != ((void *) 0)"}}));
}

TEST_F(AssertionReportTest, MissingSmmBase2ReportsTheStatusThenTheNullInterface) {
  platform.firmware.smmBase2Present = false;
  const char file[] = "MdePkg/Library/SmmServicesTableLib/SmmServicesTableLib";

  PcdDebugPrintErrorLevel = 0;
  EXPECT_EQ(SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
            EFI_SUCCESS);
  EXPECT_EQ(Reports(),
            (std::vector<Report>{{file, "!EFI_ERROR (Status)"}, {file, "mInternalSmmBase2 != ((void *) 0)"}}));
  EXPECT_EQ(Console().find("ASSERT_EFI_ERROR"), std::string::npos);  // DEBUG_ERROR not in the print level

  PcdDebugPrintErrorLevel = 0x80000000;  // DEBUG_ERROR
  (void)SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
  EXPECT_NE(Console().find("\r\nASSERT_EFI_ERROR (Status = Not Found)\r\nASSERT " + std::string(file)),
            std::string::npos);
  EXPECT_EQ(platform.firmware.calls.inSmm, 0);
}

class EntryMessagesTest : public AssertionReportTest {
 protected:
  EFI_STATUS Enter() {
    EXPECT_EQ(SmmServicesTableLibConstructor(platform.firmware.ImageHandle(), platform.firmware.SystemTable()),
              EFI_SUCCESS);
    return VexaGpioUnlockSmmEntry(platform.firmware.ImageHandle(), platform.firmware.SystemTable());
  }
  const std::string start = "VexaGpioUnlockSmmEntry() Start\r\n";
  const std::string exit = "VexaGpioUnlockSmmEntry() Exit\r\n";
};

TEST_F(EntryMessagesTest, SuccessPrintsStartAndExitAtInfoLevel) {
  PcdDebugPrintErrorLevel = 0x40;  // DEBUG_INFO
  EXPECT_EQ(Enter(), EFI_SUCCESS);
  EXPECT_EQ(Console(), start + exit);
}

TEST_F(EntryMessagesTest, ConfiguredLevelPrintsNothing) {
  PcdDebugPrintErrorLevel = 0;
  EXPECT_EQ(Enter(), EFI_SUCCESS);
  EXPECT_EQ(Console(), "");
  PcdDebugPrintErrorLevel = 0x80000000;  // DEBUG_ERROR
  EXPECT_EQ(Enter(), EFI_SUCCESS);
  EXPECT_EQ(Console(), "");
}

TEST_F(EntryMessagesTest, FailuresPrintStartButNotExit) {
  PcdDebugPrintErrorLevel = 0x40;  // DEBUG_INFO
  platform.firmware.smiSourceDispatchPresent = false;
  EXPECT_EQ(Enter(), EFI_NOT_FOUND);
  EXPECT_EQ(Console(), start);

  platform.firmware.smiSourceDispatchPresent = true;
  platform.firmware.registerStatus = EFI_ACCESS_DENIED;
  EXPECT_EQ(Enter(), EFI_ACCESS_DENIED);
  EXPECT_EQ(Console(), start + start);

  gSmst = nullptr;  // outside SMM: refused after the Start line
  platform.firmware.inSmm = false;
  EXPECT_EQ(Enter(), EFI_UNSUPPORTED);
  EXPECT_EQ(Console(), start + start + start);
  EXPECT_EQ(breakpoints.Count(), 0);  // no failure is an assertion
}

TEST_F(EntryMessagesTest, WarningFromRegisterPrintsExit) {
  PcdDebugPrintErrorLevel = 0x40;  // DEBUG_INFO
  platform.firmware.registerStatus = EFI_WARN_WRITE_FAILURE;
  EXPECT_EQ(Enter(), EFI_WARN_WRITE_FAILURE);
  EXPECT_EQ(Console(), start + exit);
}

}  // namespace
