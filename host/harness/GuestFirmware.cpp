#include "harness/GuestFirmware.h"

#include <unicorn/unicorn.h>

#include <cstring>

#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"
#include "harness/HexText.h"
#include "tables/FirmwareTables.h"

namespace harness {

namespace {

uint64_t Reg(uc_engine *uc, int reg) {
  uint64_t v = 0;
  uc_reg_read(uc, reg, &v);
  return v;
}

}  // namespace

bool GuestFirmware::ReadGuest(uint64_t address, void *out, size_t size) {
  return uc_mem_read(uc_, address, out, size) == UC_ERR_OK;
}
bool GuestFirmware::WriteGuest(uint64_t address, const void *in, size_t size) {
  return uc_mem_write(uc_, address, in, size) == UC_ERR_OK;
}

void GuestFirmware::Build() {
  const uint8_t ret = 0xC3;
  for (uint64_t t = 0; t < kThunkCount; ++t) WriteGuest(ThunkAddress(static_cast<Thunk>(t)), &ret, 1);

  // The tables as the builder makes them, with the guest's thunks and
  // addresses; the fake firmware's system-table revision (a fault switch of
  // the failure tests) carried over.
  const tables::Services services = {
      ThunkAddress(kHandleProtocol),  ThunkAddress(kLocateProtocol),    ThunkAddress(kInSmm),
      ThunkAddress(kGetSmstLocation), ThunkAddress(kSmmLocateProtocol), ThunkAddress(kRegister),
      ThunkAddress(kUnRegister),      ThunkAddress(kUnusedService)};
  tables::Tables t;
  tables::Build(services, {kSystemTable, kBootServices, kImageBase, 0}, t);
  t.systemTable.Hdr.Revision = firmware_.SystemTable()->Hdr.Revision;
  tables::Seal(t.systemTable.Hdr);
  WriteGuest(kBootServices, &t.bootServices, sizeof t.bootServices);
  WriteGuest(kSystemTable, &t.systemTable, sizeof t.systemTable);
  WriteGuest(kSmmBase2, &t.smmBase2, sizeof t.smmBase2);
  WriteGuest(kLoadedImage, &t.loadedImage, sizeof t.loadedImage);
  WriteGuest(kSmst, &t.smst, sizeof t.smst);
  WriteGuest(kSmiSourceDispatch, &t.dispatch, sizeof t.dispatch);
}

uint64_t GuestFirmware::GuestOf(const void *host) {
  sim::FakeFirmware &fw = firmware_;
  if (host == nullptr) return 0;
  if (host == fw.SystemTable()) return kSystemTable;
  if (host == fw.BootServices()) return kBootServices;
  if (host == fw.SmmBase2()) return kSmmBase2;
  if (host == fw.LoadedImage()) return kLoadedImage;
  if (host == fw.Smst()) return kSmst;
  if (host == fw.SmiSourceDispatch()) return kSmiSourceDispatch;
  if (host == fw.ImageHandle()) return kImageHandle;
  return 0;
}

bool GuestFirmware::Serve(uint64_t address, std::string &fault) {
  sim::FakeFirmware &fw = firmware_;
  const uint64_t a0 = Reg(uc_, UC_X86_REG_RCX), a1 = Reg(uc_, UC_X86_REG_RDX), a2 = Reg(uc_, UC_X86_REG_R8),
                 a3 = Reg(uc_, UC_X86_REG_R9);
  EFI_STATUS status = EFI_SUCCESS;

  auto guid = [&](uint64_t at, EFI_GUID &out) {
    if (at != 0 && ReadGuest(at, &out, sizeof out)) return true;
    if (at != 0) fault = "firmware service given an unreadable GUID pointer " + Hex(at);
    return false;
  };
  auto storePointer = [&](uint64_t at, const void *host) {
    const uint64_t guest = GuestOf(host);
    if (host != nullptr && guest == 0) fault = "the fake firmware returned an interface the harness does not map";
    if (!WriteGuest(at, &guest, 8)) fault = "firmware service given an unwritable pointer " + Hex(at);
  };
  auto locate = [&](auto service) {
    EFI_GUID g;
    if (!guid(a0, g)) return EFI_INVALID_PARAMETER;
    void *host = nullptr;
    const EFI_STATUS s = service(g, a2 != 0 ? &host : nullptr);
    if (a2 != 0) storePointer(a2, host);
    return s;
  };

  switch ((address - kThunkBase) / kThunkStride) {
    case kHandleProtocol: {
      EFI_GUID g;
      if (!guid(a1, g)) {
        status = EFI_INVALID_PARAMETER;
        break;
      }
      const EFI_HANDLE handle = a0 == kImageHandle ? fw.ImageHandle() : reinterpret_cast<EFI_HANDLE>(a0);
      void *host = nullptr;
      status = fw.HandleProtocol(handle, g, a2 != 0 ? &host : nullptr);
      if (a2 != 0) storePointer(a2, host);
      break;
    }
    case kLocateProtocol:
      status = locate([&](const EFI_GUID &g, void **out) { return fw.LocateProtocol(g, out); });
      break;
    case kSmmLocateProtocol:
      status = locate([&](const EFI_GUID &g, void **out) { return fw.SmmLocateProtocol(g, out); });
      break;
    case kInSmm: {
      BOOLEAN inSmram = 0;
      status = fw.InSmm(a1 != 0 ? &inSmram : nullptr);
      if (a1 != 0 && !WriteGuest(a1, &inSmram, 1)) fault = "InSmm given an unwritable pointer " + Hex(a1);
      break;
    }
    case kGetSmstLocation: {
      EFI_SMM_SYSTEM_TABLE2 *smst = nullptr;
      status = fw.GetSmstLocation(a1 != 0 ? &smst : nullptr);
      if (a1 != 0) storePointer(a1, smst);
      break;
    }
    case kRegister: {
      uint32_t source = 0;
      if (a2 != 0 && !ReadGuest(a2, &source, sizeof source)) {
        fault = "Register given an unreadable context " + Hex(a2);
        break;
      }
      uint64_t handle = 0;
      if (a3 != 0) ReadGuest(a3, &handle, 8);
      EFI_HANDLE hostHandle = reinterpret_cast<EFI_HANDLE>(handle);
      status = fw.RegisterGuest(a1, a2 != 0 ? &source : nullptr, a3 != 0 ? &hostHandle : nullptr);
      handle = reinterpret_cast<uint64_t>(hostHandle);
      if (a3 != 0 && !WriteGuest(a3, &handle, 8)) fault = "Register given an unwritable handle pointer " + Hex(a3);
      break;
    }
    case kUnRegister:
      ++fw.calls.unregisterHandler;
      status = EFI_UNSUPPORTED;
      break;
    default: {
      uint64_t returnAddress = 0;
      ReadGuest(Reg(uc_, UC_X86_REG_RSP), &returnAddress, 8);
      fault = "the image called a firmware service it has no business calling (thunk " + Hex(address) + ", return " +
              Hex(returnAddress) + ")";
      return false;
    }
  }
  uc_reg_write(uc_, UC_X86_REG_RAX, &status);
  return fault.empty();
}

}  // namespace harness
