// Packs the module's image into a firmware file and a firmware volume.
//
// The firmware file is of type SMM (0x0A) and holds, in order:
//   - an SMM dependency section: PUSH the SMI-source dispatch protocol's GUID,
//     END (the handler cannot be registered before the dispatcher exists);
//   - a PE32 section with the image, byte for byte;
//   - a user-interface section naming the module in UCS-2.
// Its header checksum and its data checksum are both set (attribute
// FFS_ATTRIB_CHECKSUM), so a flash tool can verify the whole file.
//
// The volume uses the FFSv2 file system with erase polarity 1: free space and
// padding are 0xFF, and file states are stored inverted.  It is one run of
// 4 KiB blocks described by its block map, with the module's file 8-byte
// aligned right after the header.
//
// Every builder checks its input and returns an empty result with a message
// instead of producing a file that firmware would reject.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Uefi/UefiBaseType.h"

namespace packager {

using Bytes = std::vector<uint8_t>;

// The module's file name in any firmware volume: 5C7C571E-4EAA-46E7-9467-DCA8490EB9F2.
constexpr EFI_GUID kModuleFileGuid = {0x5C7C571E, 0x4EAA, 0x46E7, {0x94, 0x67, 0xDC, 0xA8, 0x49, 0x0E, 0xB9, 0xF2}};
// The module's user-interface name.
constexpr char16_t kModuleUiName[] = u"VexaGpioUnlockSmm";

// The published formats' constants.
constexpr uint8_t kFileTypeSmm = 0x0A;
constexpr uint8_t kSectionPe32 = 0x10;
constexpr uint8_t kSectionUserInterface = 0x15;
constexpr uint8_t kSectionSmmDepex = 0x1C;
constexpr uint8_t kDepexPush = 0x02;
constexpr uint8_t kDepexEnd = 0x08;
constexpr uint8_t kFileAttributeChecksum = 0x40;
constexpr uint8_t kFileFixedChecksum = 0xAA;
// Header construction, header valid and data valid, as a file reads with
// erase polarity 0; with polarity 1 the stored byte is its complement.
constexpr uint8_t kFileStateValid = 0x07;
constexpr uint32_t kVolumeSignature = 0x4856465F;  // "_FVH"
constexpr uint32_t kVolumeBlockSize = 0x1000;
constexpr size_t kVolumeHeaderSize = 0x48;  // fixed header plus one block-map run and its terminator
constexpr size_t kFileHeaderSize = 24;
constexpr uint32_t kMaxSectionSize = 0xFFFFFF;  // larger needs the extended headers, which this packer does not write
constexpr EFI_GUID kFfs2FileSystemGuid = {0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr EFI_GUID kSmiSourceDispatchGuid = {
    0x8497455B, 0xB489, 0x4AC7, {0xBD, 0x51, 0x78, 0xDF, 0x4E, 0x1F, 0x1A, 0xCD}};

// Volume attributes: read and write capabilities and status (0x3F), sticky
// write (0x200), memory mapped (0x400), erase polarity 1 (0x800), files
// aligned to 8 bytes (alignment field 3).
constexpr uint32_t kVolumeAttributes = 0x00030E3F;
constexpr uint32_t kVolumeErasePolarity = 0x800;

// Checks that `image` is an x86-64 PE32+ driver image the firmware could
// load, by the same rule the main job loads images with, and that it keeps
// every property of the module's image (pe::CheckDriverImage).  Returns an
// empty string when it is, otherwise what is wrong.
std::string CheckPe32PlusImage(const Bytes &image);

// The firmware file for `image`; empty (with `error` set) on bad input.
Bytes BuildModuleFile(const Bytes &image, const EFI_GUID &name, const std::u16string &uiName, std::string &error);

// A firmware volume holding `files` (each a complete firmware file), in order,
// each 8-byte aligned; empty (with `error` set) on bad input.
Bytes BuildVolume(const std::vector<Bytes> &files, std::string &error);

// Checksum helpers, shared with the tests: the 8-bit and 16-bit sums.
uint8_t Sum8(const uint8_t *data, size_t size);
uint16_t Sum16(const uint8_t *data, size_t size);

std::string GuidText(const EFI_GUID &guid);

}  // namespace packager
