// The firmware-table builder every platform uses: headers a firmware engineer
// would check (signature, revision, size, CRC), the driver's services where
// it looks for them, and a trap in every other service slot.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/FakeFirmware.h"
#include "tables/Crc32.h"
#include "tables/FirmwareTables.h"

namespace {

const tables::Services kServices = {0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000, 0x7000, 0xDEAD};

TEST(FirmwareTables, HeadersCarrySignatureRevisionSizeAndAValidCrc) {
  EXPECT_EQ(tables::Crc32(reinterpret_cast<const uint8_t *>("123456789"), 9), 0xCBF43926u);  // the check value
  tables::Tables t;
  tables::Build(kServices, {0xA000, 0xB000, 0xC000, 0x2000}, t);
  const struct {
    const char *name;
    const void *table;
    const char *signature;
    uint32_t revision, size;
  } rows[] = {{"system table", &t.systemTable, "IBI SYST", 0x20046, sizeof t.systemTable},
              {"boot services", &t.bootServices, "BOOTSERV", 0x20046, sizeof t.bootServices},
              {"SMST", &t.smst, "SMST\0\0\0\0", 0x10046, sizeof t.smst}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<uint8_t> bytes(r.size);
    std::memcpy(bytes.data(), r.table, r.size);
    EFI_TABLE_HEADER header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(std::memcmp(&header.Signature, r.signature, 8), 0);
    EXPECT_EQ(header.Revision, r.revision);
    EXPECT_EQ(header.HeaderSize, r.size);
    // The CRC covers HeaderSize bytes of the table with the CRC field zero.
    std::memset(bytes.data() + OFFSET_OF(EFI_TABLE_HEADER, CRC32), 0, 4);
    EXPECT_NE(header.CRC32, 0u);
    EXPECT_EQ(tables::Crc32(bytes.data(), bytes.size()), header.CRC32);
  }
  EXPECT_EQ(reinterpret_cast<uint64_t>(t.systemTable.BootServices), 0xB000u);
  EXPECT_EQ(reinterpret_cast<uint64_t>(t.loadedImage.SystemTable), 0xA000u);
  EXPECT_EQ(reinterpret_cast<uint64_t>(t.loadedImage.ImageBase), 0xC000u);
  EXPECT_EQ(t.loadedImage.ImageSize, 0x2000u);
}

// Every pointer-sized slot after the header, by offset: the service set there
// or, for the SMST's data, its value; anything else must be the trap.
TEST(FirmwareTables, EveryServiceSlotTheDriverDoesNotUseTraps) {
  tables::Tables t;
  tables::Build(kServices, {0xA000, 0xB000, 0xC000, 0x2000}, t);
  const struct {
    const char *name;
    const void *table;
    size_t size;
    std::map<size_t, uint64_t> set;
  } rows[] = {
      {"boot services",
       &t.bootServices,
       sizeof t.bootServices,
       {{OFFSET_OF(EFI_BOOT_SERVICES, Reserved), 0},
        {OFFSET_OF(EFI_BOOT_SERVICES, HandleProtocol), 0x1000},
        {OFFSET_OF(EFI_BOOT_SERVICES, LocateProtocol), 0x2000}}},
      {"SMST",
       &t.smst,
       sizeof t.smst,
       {{OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareVendor), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareRevision), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, NumberOfCpus), 1},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CpuSaveStateSize), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CpuSaveState), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmConfigurationTable), 0},
        {OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol), 0x5000}}},
      {"SMM Base2", &t.smmBase2, sizeof t.smmBase2, {{0, 0x3000}, {8, 0x4000}}},
      {"dispatcher", &t.dispatch, sizeof t.dispatch, {{0, 0x6000}, {8, 0x7000}}},
  };
  for (const auto &r : rows) {
    const size_t first = r.set.count(0) != 0 ? 0 : sizeof(EFI_TABLE_HEADER);
    for (size_t at = first; at + 8 <= r.size; at += 8) {
      SCOPED_TRACE(std::string(r.name) + " at " + std::to_string(at));
      uint64_t slot = 0;
      std::memcpy(&slot, static_cast<const uint8_t *>(r.table) + at, 8);
      EXPECT_EQ(slot, r.set.count(at) != 0 ? r.set.at(at) : kServices.trap);
    }
  }
}

TEST(FirmwareTablesDeathTest, TheFakeFirmwareStopsAtAServiceTheModuleHasNoBusinessCalling) {
  sim::FakeFirmware firmware;
  using Service = EFI_STATUS(EFIAPI *)();
  const auto allocatePool = reinterpret_cast<Service>(firmware.BootServices()->AllocatePool);
  EXPECT_DEATH(allocatePool(), "a firmware service it has no business calling");
}

}  // namespace
