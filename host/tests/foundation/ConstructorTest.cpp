// The boot-services and SMM constructors: what they bind, and what they do
// when the firmware lacks something.

#include <gtest/gtest.h>

#include "Library/SmmServicesTableLib.h"
#include "Library/UefiBootServicesTableLib.h"
#include "sim/Platform.h"
#include "support/TestSupport.h"

using namespace sim;

namespace {

EFI_STATUS EFIAPI RefusingLocateProtocol(EFI_GUID *, VOID *, VOID **) { return EFI_UNSUPPORTED; }

class ConstructorTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::UnbindModuleGlobals(); }
  Platform platform;
  FakeFirmware &fw = platform.firmware;
};

TEST_F(ConstructorTest, BootServicesConstructorBindsTheThreeGlobals) {
  EXPECT_EQ(UefiBootServicesTableLibConstructor(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(gImageHandle, fw.ImageHandle());
  EXPECT_EQ(gST, fw.SystemTable());
  EXPECT_EQ(gBS, fw.BootServices());
  EXPECT_EQ(fw.calls.locateProtocol + fw.calls.handleProtocol, 0);  // binding calls nothing
}

TEST_F(ConstructorTest, SmmConstructorBindsSmmBase2AndTheSmmSystemTable) {
  EXPECT_EQ(SmmServicesTableLibConstructor(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(mInternalSmmBase2, fw.SmmBase2());
  EXPECT_EQ(gSmst, fw.Smst());
  EXPECT_EQ(fw.calls.locateProtocol, 1);
  EXPECT_EQ(fw.calls.inSmm, 1);
  EXPECT_EQ(fw.calls.getSmstLocation, 1);
}

TEST_F(ConstructorTest, OutsideSmmTheSmmSystemTableStaysNull) {
  fw.inSmm = false;
  EXPECT_EQ(SmmServicesTableLibConstructor(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(mInternalSmmBase2, fw.SmmBase2());
  EXPECT_EQ(gSmst, nullptr);
  EXPECT_EQ(fw.calls.getSmstLocation, 0);
}

TEST_F(ConstructorTest, SmmConstructorUsesTheArgumentsBootServicesNotgBS) {
  EFI_BOOT_SERVICES other = *fw.BootServices();
  other.LocateProtocol = RefusingLocateProtocol;
  gBS = &other;
  EXPECT_EQ(SmmServicesTableLibConstructor(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(fw.calls.locateProtocol, 1);
  EXPECT_EQ(gSmst, fw.Smst());
}

TEST_F(ConstructorTest, MissingSmmBase2NeverCallsThroughNull) {
  testsupport::BreakpointCounter breakpoints;
  fw.smmBase2Present = false;
  EXPECT_EQ(SmmServicesTableLibConstructor(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(mInternalSmmBase2, nullptr);
  EXPECT_EQ(gSmst, nullptr);
  EXPECT_EQ(fw.calls.inSmm, 0);
  EXPECT_EQ(fw.calls.getSmstLocation, 0);
  EXPECT_EQ(breakpoints.Count(), 2);  // the status report, then the null interface report
}

// A table without boot services (the boot-services constructor has already
// reported it) leaves nothing to locate SMM Base2 through: no call, no report.
TEST_F(ConstructorTest, WithoutBootServicesTheSmmConstructorCallsNothing) {
  EFI_SYSTEM_TABLE noBootServices = *fw.SystemTable();
  noBootServices.BootServices = nullptr;
  for (EFI_SYSTEM_TABLE *table : {&noBootServices, static_cast<EFI_SYSTEM_TABLE *>(nullptr)}) {
    testsupport::BreakpointCounter breakpoints;
    EXPECT_EQ(SmmServicesTableLibConstructor(fw.ImageHandle(), table), EFI_SUCCESS);
    EXPECT_EQ(mInternalSmmBase2, nullptr);
    EXPECT_EQ(gSmst, nullptr);
    EXPECT_EQ(fw.calls.locateProtocol, 0);
    EXPECT_EQ(breakpoints.Count(), 0);
  }
}

}  // namespace
