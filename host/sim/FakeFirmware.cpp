#include "sim/FakeFirmware.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
FakeFirmware *gCurrentFirmware = nullptr;

const EFI_GUID kSmmBase2 = EFI_SMM_BASE2_PROTOCOL_GUID;
const EFI_GUID kLoadedImage = EFI_LOADED_IMAGE_PROTOCOL_GUID;
const EFI_GUID kSmiSourceDispatch = SMI_SOURCE_DISPATCH_PROTOCOL_GUID;

EFI_STATUS EFIAPI ThunkHandleProtocol(EFI_HANDLE handle, EFI_GUID *protocol, VOID **interface) {
  return FakeFirmware::Current()->HandleProtocol(handle, *protocol, interface);
}
EFI_STATUS EFIAPI ThunkLocateProtocol(EFI_GUID *protocol, VOID *registration, VOID **interface) {
  if (registration != nullptr) return EFI_INVALID_PARAMETER;
  return FakeFirmware::Current()->LocateProtocol(*protocol, interface);
}
EFI_STATUS EFIAPI ThunkSmmLocateProtocol(EFI_GUID *protocol, VOID *registration, VOID **interface) {
  if (registration != nullptr) return EFI_INVALID_PARAMETER;
  return FakeFirmware::Current()->SmmLocateProtocol(*protocol, interface);
}
EFI_STATUS EFIAPI ThunkInSmm(const EFI_SMM_BASE2_PROTOCOL *This, BOOLEAN *inSmram) {
  if (This != FakeFirmware::Current()->SmmBase2()) return EFI_INVALID_PARAMETER;
  return FakeFirmware::Current()->InSmm(inSmram);
}
EFI_STATUS EFIAPI ThunkGetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *This, EFI_SMM_SYSTEM_TABLE2 **smst) {
  if (This != FakeFirmware::Current()->SmmBase2()) return EFI_INVALID_PARAMETER;
  return FakeFirmware::Current()->GetSmstLocation(smst);
}
EFI_STATUS EFIAPI ThunkRegister(SMI_SOURCE_DISPATCH_PROTOCOL *This, SMI_SOURCE_HANDLER handler, VOID *context,
                                EFI_HANDLE *dispatchHandle) {
  if (This != FakeFirmware::Current()->SmiSourceDispatch()) return EFI_INVALID_PARAMETER;
  return FakeFirmware::Current()->Register(handler, context, dispatchHandle);
}
EFI_STATUS EFIAPI ThunkUnRegister(SMI_SOURCE_DISPATCH_PROTOCOL *, EFI_HANDLE) {
  ++FakeFirmware::Current()->calls.unregisterHandler;
  return EFI_UNSUPPORTED;
}
[[noreturn]] EFI_STATUS EFIAPI UnexpectedService() {
  std::fprintf(stderr, "fake firmware: the module called a firmware service it has no business calling\n");
  std::abort();
}

template <typename Function>
uint64_t Address(Function f) {
  return reinterpret_cast<uint64_t>(f);
}
}  // namespace

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

FakeFirmware::FakeFirmware() {
  gCurrentFirmware = this;
  const tables::Services services = {
      Address(ThunkHandleProtocol),  Address(ThunkLocateProtocol),    Address(ThunkInSmm),
      Address(ThunkGetSmstLocation), Address(ThunkSmmLocateProtocol), Address(ThunkRegister),
      Address(ThunkUnRegister),      Address(UnexpectedService)};
  tables::Build(services, {Address(SystemTable()), Address(BootServices()), 0, 0}, tables_);
}

FakeFirmware::~FakeFirmware() {
  if (gCurrentFirmware == this) gCurrentFirmware = nullptr;
}

FakeFirmware *FakeFirmware::Current() { return gCurrentFirmware; }

EFI_STATUS FakeFirmware::LocateProtocol(const EFI_GUID &guid, void **interface) {
  ++calls.locateProtocol;
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  if (smmBase2Present && SameGuid(guid, kSmmBase2)) {
    *interface = SmmBase2();
    return EFI_SUCCESS;
  }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

EFI_STATUS FakeFirmware::HandleProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void **interface) {
  ++calls.handleProtocol;
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  if (loadedImagePresent && handle == ImageHandle() && SameGuid(guid, kLoadedImage)) {
    *interface = LoadedImage();
    return EFI_SUCCESS;
  }
  *interface = nullptr;
  return EFI_UNSUPPORTED;
}

EFI_STATUS FakeFirmware::SmmLocateProtocol(const EFI_GUID &guid, void **interface) {
  ++calls.smmLocateProtocol;
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  if (smiSourceDispatchPresent && SameGuid(guid, kSmiSourceDispatch)) {
    *interface = smiSourceDispatchNull ? nullptr : SmiSourceDispatch();
    return EFI_SUCCESS;
  }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

EFI_STATUS FakeFirmware::InSmm(BOOLEAN *inSmram) {
  ++calls.inSmm;
  if (inSmram == nullptr) return EFI_INVALID_PARAMETER;
  *inSmram = inSmm ? 1 : 0;
  return inSmmStatus;
}

EFI_STATUS FakeFirmware::GetSmstLocation(EFI_SMM_SYSTEM_TABLE2 **smst) {
  ++calls.getSmstLocation;
  if (smst == nullptr) return EFI_INVALID_PARAMETER;
  *smst = smstLocated ? Smst() : nullptr;
  return smstLocated ? EFI_SUCCESS : EFI_NOT_STARTED;
}

EFI_STATUS FakeFirmware::Register(SMI_SOURCE_HANDLER handler, const void *context, EFI_HANDLE *dispatchHandle) {
  ++calls.registerHandler;
  if (handler == nullptr || context == nullptr || dispatchHandle == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(registerStatus)) return registerStatus;
  uint32_t source;
  std::memcpy(&source, context, sizeof source);  // the dispatcher copies what it needs now
  EFI_HANDLE handle = reinterpret_cast<EFI_HANDLE>(nextDispatchHandle_++);
  registrations_.push_back({handler, source, handle});
  *dispatchHandle = handle;
  return registerStatus;
}

EFI_STATUS FakeFirmware::RegisterGuest(uint64_t guestHandler, const void *context, EFI_HANDLE *dispatchHandle) {
  ++calls.registerHandler;
  if (guestHandler == 0 || context == nullptr || dispatchHandle == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_ERROR(registerStatus)) return registerStatus;
  uint32_t source;
  std::memcpy(&source, context, sizeof source);
  EFI_HANDLE handle = reinterpret_cast<EFI_HANDLE>(nextDispatchHandle_++);
  registrations_.push_back({nullptr, source, handle, guestHandler});
  *dispatchHandle = handle;
  return registerStatus;
}

int FakeFirmware::Fire(uint32_t source, const void *context, void *commBuffer, UINTN *commBufferSize) {
  lastHandlerStatuses.clear();
  int ran = 0;
  const std::vector<Registration> snapshot = registrations_;
  for (const Registration &r : snapshot) {
    if (r.source != source) continue;
    if (r.guestHandler != 0) {
      if (!guestDispatch) continue;  // the image that registered it is gone
      lastHandlerStatuses.push_back(guestDispatch(r, context, commBuffer, commBufferSize));
    } else {
      lastHandlerStatuses.push_back(r.handler(r.handle, context, commBuffer, commBufferSize));
    }
    ++ran;
  }
  return ran;
}

}  // namespace sim
