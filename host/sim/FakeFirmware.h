// Fake firmware built from the real table layouts.
//
// A system table and boot services (HandleProtocol, LocateProtocol over a
// protocol database), SMM Base2 (InSmm, GetSmstLocation), the SMM system
// table (SmmLocateProtocol) and the chipset's SMI-source dispatcher, built by
// the tables builder (tables/FirmwareTables.h).  Each service counts its
// calls, and each can be made to fail, for the failure tests; every other
// service slot stops the program with a message saying so.  Only one fake firmware is live at a time (the services have
// no context argument of their own).  Called through its tables, the firmware refuses (EFI_INVALID_PARAMETER) a
// registration key, which it never issues, and a protocol member called with another interface than its own as This.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Library/SmmServicesTableLib.h"
#include "Protocol/LoadedImage.h"
#include "SmiSourceDispatch.h"
#include "tables/FirmwareTables.h"

namespace sim {

class FakeFirmware {
 public:
  FakeFirmware();
  ~FakeFirmware();
  FakeFirmware(const FakeFirmware &) = delete;
  FakeFirmware &operator=(const FakeFirmware &) = delete;

  static FakeFirmware *Current();

  EFI_SYSTEM_TABLE *SystemTable() { return &tables_.systemTable; }
  EFI_BOOT_SERVICES *BootServices() { return &tables_.bootServices; }
  EFI_SMM_SYSTEM_TABLE2 *Smst() { return &tables_.smst; }
  EFI_SMM_BASE2_PROTOCOL *SmmBase2() { return &tables_.smmBase2; }
  SMI_SOURCE_DISPATCH_PROTOCOL *SmiSourceDispatch() { return &tables_.dispatch; }
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage() { return &tables_.loadedImage; }
  EFI_HANDLE ImageHandle() { return &imageHandleStorage_; }

  // Fault switches.
  bool smmBase2Present = true;              // LocateProtocol(SMM Base2) finds it
  bool inSmm = true;                        // what InSmm reports
  EFI_STATUS inSmmStatus = EFI_SUCCESS;     // what InSmm returns (it reports inSmm all the same)
  bool smstLocated = true;                  // GetSmstLocation gives the table (else null, and EFI_NOT_STARTED)
  bool smiSourceDispatchPresent = true;     // SmmLocateProtocol(dispatcher) finds it
  bool smiSourceDispatchNull = false;       // ...and reports success with a null interface
  EFI_STATUS registerStatus = EFI_SUCCESS;  // what Register returns (an error registers nothing)
  bool loadedImagePresent = true;           // HandleProtocol(image, loaded image) finds it

  // What the module asked of the firmware.
  struct Calls {
    int locateProtocol = 0, handleProtocol = 0, inSmm = 0, getSmstLocation = 0, smmLocateProtocol = 0,
        registerHandler = 0, unregisterHandler = 0;
  } calls;

  struct Registration {
    SMI_SOURCE_HANDLER handler;
    uint32_t source;  // copied from the context during Register
    EFI_HANDLE handle;
    uint64_t guestHandler = 0;  // a handler inside an emulated image (handler is then null)
  };
  const std::vector<Registration> &Registrations() const { return registrations_; }

  // Runs a guest handler when its source fires; set by the binary harness,
  // which owns the emulated image.  Returns the handler's status.
  std::function<EFI_STATUS(const Registration &, const void *context, void *commBuffer, UINTN *commBufferSize)>
      guestDispatch;

  // The chipset signalled `source`: call every handler registered for it with
  // the given arguments.  Returns how many handlers ran; their statuses are
  // collected in lastHandlerStatuses.
  int Fire(uint32_t source, const void *context = nullptr, void *commBuffer = nullptr, UINTN *commBufferSize = nullptr);
  std::vector<EFI_STATUS> lastHandlerStatuses;

  // The services themselves, as the firmware would answer (also used by the
  // binary harness, which translates guest pointers before calling them).
  EFI_STATUS LocateProtocol(const EFI_GUID &guid, void **interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void **interface);
  EFI_STATUS SmmLocateProtocol(const EFI_GUID &guid, void **interface);
  EFI_STATUS Register(SMI_SOURCE_HANDLER handler, const void *context, EFI_HANDLE *dispatchHandle);
  // Register for a handler at a guest address: the same checks, switches and counts.
  EFI_STATUS RegisterGuest(uint64_t guestHandler, const void *context, EFI_HANDLE *dispatchHandle);
  EFI_STATUS InSmm(BOOLEAN *inSmram);
  EFI_STATUS GetSmstLocation(EFI_SMM_SYSTEM_TABLE2 **smst);

 private:
  tables::Tables tables_{};
  uint64_t imageHandleStorage_ = 0;
  std::vector<Registration> registrations_;
  uint64_t nextDispatchHandle_ = 0x1000;
};

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b);

}  // namespace sim
