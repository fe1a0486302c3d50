#include "tables/FirmwareTables.h"

#include "tables/Crc32.h"

namespace tables {

namespace {

template <typename Function>
Function As(uint64_t address) {
  return reinterpret_cast<Function>(address);
}

// Every pointer-sized slot after the header holds the trap; the caller then
// sets the services and data the table really has.
void TrapEverySlot(void *table, size_t size, uint64_t trap) {
  auto *slots = reinterpret_cast<uint64_t *>(static_cast<uint8_t *>(table) + sizeof(EFI_TABLE_HEADER));
  for (size_t i = 0; i < (size - sizeof(EFI_TABLE_HEADER)) / 8; ++i) slots[i] = trap;
}

void Zero(void *object, size_t size) {
  auto *bytes = static_cast<volatile uint8_t *>(object);  // not turned into a call to memset
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

EFI_TABLE_HEADER Header(uint64_t signature, uint32_t revision, size_t size) {
  return {signature, revision, static_cast<uint32_t>(size), 0, 0};
}

}  // namespace

void Seal(EFI_TABLE_HEADER &header) {
  header.CRC32 = 0;
  header.CRC32 = Crc32(reinterpret_cast<const uint8_t *>(&header), header.HeaderSize);
}

void Build(const Services &s, const Places &p, Tables &out) {
  Zero(&out, sizeof out);

  EFI_BOOT_SERVICES &bs = out.bootServices;
  TrapEverySlot(&bs, sizeof bs, s.trap);
  bs.Hdr = Header(kBootServicesSignature, kUefiRevision, sizeof bs);
  bs.Reserved = nullptr;
  bs.HandleProtocol = As<EFI_HANDLE_PROTOCOL>(s.handleProtocol);
  bs.LocateProtocol = As<EFI_LOCATE_PROTOCOL>(s.locateProtocol);
  Seal(bs.Hdr);

  EFI_SYSTEM_TABLE &st = out.systemTable;
  st.Hdr = Header(kSystemTableSignature, kUefiRevision, sizeof st);
  st.BootServices = As<EFI_BOOT_SERVICES *>(p.bootServices);
  Seal(st.Hdr);

  EFI_LOADED_IMAGE_PROTOCOL &loaded = out.loadedImage;
  loaded.Revision = kLoadedImageRevision;
  loaded.SystemTable = As<EFI_SYSTEM_TABLE *>(p.systemTable);
  loaded.ImageBase = As<VOID *>(p.imageBase);
  loaded.ImageSize = p.imageSize;

  out.smmBase2.InSmm = As<EFI_SMM_INSIDE_OUT2>(s.inSmm);
  out.smmBase2.GetSmstLocation = As<EFI_SMM_GET_SMST_LOCATION2>(s.getSmstLocation);

  EFI_SMM_SYSTEM_TABLE2 &smst = out.smst;
  TrapEverySlot(&smst, sizeof smst, s.trap);
  smst.Hdr = Header(kSmstSignature, kSmstRevision, sizeof smst);
  smst.SmmFirmwareVendor = nullptr;
  smst.SmmFirmwareRevision = 0;
  smst.CurrentlyExecutingCpu = 0;
  smst.NumberOfCpus = 1;
  smst.CpuSaveStateSize = nullptr;
  smst.CpuSaveState = nullptr;
  smst.NumberOfTableEntries = 0;
  smst.SmmConfigurationTable = nullptr;
  smst.SmmLocateProtocol = As<EFI_SMM_LOCATE_PROTOCOL>(s.smmLocateProtocol);
  Seal(smst.Hdr);

  out.dispatch.Register = As<SMI_SOURCE_REGISTER>(s.registerHandler);
  out.dispatch.UnRegister = As<SMI_SOURCE_UNREGISTER>(s.unregisterHandler);
}

}  // namespace tables
