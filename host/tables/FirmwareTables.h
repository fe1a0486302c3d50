// The one builder of the firmware tables a driver is given: the system
// table, boot services, the loaded-image protocol, SMM Base2, the SMM system
// table and the SMI-source dispatcher, with their signatures, revisions and
// header CRCs, and a trap in every service slot the driver has no business
// calling.  The fake firmware of the host build, the emulator's guest copies
// and the QEMU guest's SMRAM program all build their tables here, so the
// driver meets the same tables everywhere.
//
// Freestanding (no C or C++ library, no allocation), because the QEMU guest
// links it too.  Every address is the one the driver sees: a host function,
// an emulator thunk or an SMRAM program's function.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"
#include "SmiSourceDispatch.h"
#include "Uefi.h"

namespace tables {

// Header facts: "IBI SYST", "BOOTSERV" and "SMST", revisions 2.70 and 1.70.
constexpr uint64_t kSystemTableSignature = 0x5453595320494249ull;
constexpr uint64_t kBootServicesSignature = 0x56524553544F4F42ull;
constexpr uint64_t kSmstSignature = 0x54534D53ull;
constexpr uint32_t kUefiRevision = (2u << 16) | 70;
constexpr uint32_t kSmstRevision = (1u << 16) | 70;
constexpr uint32_t kLoadedImageRevision = 0x1000;

// The services the driver may call, and the trap every other slot holds.
struct Services {
  uint64_t handleProtocol, locateProtocol;      // boot services
  uint64_t inSmm, getSmstLocation;              // SMM Base2
  uint64_t smmLocateProtocol;                   // SMST
  uint64_t registerHandler, unregisterHandler;  // SMI-source dispatcher
  uint64_t trap;
};

// Where the tables the others point to lie, and the driver's image.
struct Places {
  uint64_t systemTable, bootServices;
  uint64_t imageBase, imageSize;
};

struct Tables {
  EFI_SYSTEM_TABLE systemTable;
  EFI_BOOT_SERVICES bootServices;
  EFI_LOADED_IMAGE_PROTOCOL loadedImage;
  EFI_SMM_BASE2_PROTOCOL smmBase2;
  EFI_SMM_SYSTEM_TABLE2 smst;
  SMI_SOURCE_DISPATCH_PROTOCOL dispatch;
};

// Fills every table of `out`; the SMST reports one processor, number 0.
void Build(const Services &services, const Places &places, Tables &out);

// Sets the header's CRC: the CRC-32 of its HeaderSize bytes with the field zero.
void Seal(EFI_TABLE_HEADER &header);

}  // namespace tables
