// The one reader of PE32+ driver images on our side of the build: the
// harness's loader, the firmware-file packer, the image test, the main job and
// the QEMU guest all read the module's image through it, so they accept and
// refuse the same files for the same reasons.
//
// It is freestanding (no C or C++ library, no allocation), because the QEMU
// guest links it too.  Every read is bounds-checked against the file or the
// memory it is given; a malformed file gives a reason, never a read past the
// end.  Reasons are static texts.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pe {

// PE/COFF facts the readers need.
constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kFileRelocsStripped = 0x0001, kFileExecutableImage = 0x0002;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11, kSubsystemEfiRuntimeDriver = 12;
constexpr uint16_t kDllDynamicBase = 0x0040, kDllNxCompat = 0x0100;
constexpr uint32_t kScnMemExecute = 0x20000000, kScnMemWrite = 0x80000000;
constexpr int kDirImport = 1, kDirBaseReloc = 5, kDirDebug = 6, kDirIat = 12, kDirDelayImport = 13;
constexpr int kDirectoryCount = 16;
constexpr int kRelAbsolute = 0, kRelHighLow = 3, kRelDir64 = 10;
constexpr int kMaxSections = 16;               // a driver has four or five
constexpr uint32_t kMaxImageSize = 64u << 20;  // far beyond any driver; a bad header cannot ask for gigabytes

struct DataDirectory {
  uint32_t rva, size;
};

struct Section {
  char name[9];  // zero-terminated
  uint32_t rva, virtualSize, rawOffset, rawSize, characteristics;
  bool Executable() const { return (characteristics & kScnMemExecute) != 0; }
  bool Writable() const { return (characteristics & kScnMemWrite) != 0; }
};

// The headers of a PE32+ file, as Parse found them.
struct Headers {
  uint16_t machine, sectionCount, characteristics, magic, subsystem, dllCharacteristics;
  uint32_t timeDateStamp, entryRva, sectionAlignment, fileAlignment, sizeOfImage, sizeOfHeaders;
  uint64_t imageBase;
  DataDirectory directories[kDirectoryCount];  // absent ones are zero
  Section sections[kMaxSections];

  // The section whose memory holds `rva`, or null.
  const Section *SectionAt(uint32_t rva) const;
  // The file offset of `size` bytes at `rva`, when a section's file data
  // holds them all.
  bool FileOffset(uint32_t rva, uint32_t size, size_t &offset) const;
};

// Reads the headers of an x86-64 PE32+ file: every section inside the file
// and inside the image, the entry point and the relocation table inside the
// image.  Returns null when the file is sound, else what is wrong.
const char *Parse(const uint8_t *file, size_t size, Headers &out);

// Calls visit(context, type, rva) for every base relocation entry (absolute
// padding entries included), in table order.  Returns what is wrong with the
// table (a malformed block, an entry whose target lies outside the image, a
// type other than 64-bit, 32-bit or padding), or null; `visit` may stop the
// walk by returning a reason of its own.
using RelocationVisitor = const char *(*)(void *context, int type, uint32_t rva);
const char *ForEachRelocation(const Headers &h, const uint8_t *file, size_t size, RelocationVisitor visit,
                              void *context);

// Lays the image out in `memory` (at least SizeOfImage bytes) as it runs at
// `base`: headers and sections copied, the rest zero, every relocation
// applied.  Returns what is wrong, or null; `applied` (may be null) receives
// the number of 64-bit fix-ups made.
const char *Load(const Headers &h, const uint8_t *file, size_t size, uint64_t base, uint8_t *memory, size_t memorySize,
                 size_t *applied);

// Whether firmware could load this file as a driver: it parses, its
// relocations are sound, and it is a UEFI driver (boot-service or runtime
// subsystem).  The loaders (the harness and the QEMU guest) apply this rule,
// so the main job can still run, for analysis, an image that breaks one of
// the properties below.
const char *CheckLoadableImage(const uint8_t *file, size_t size, Headers &out);

// The properties every image of the module has, as the README promises them:
// a boot-service driver (subsystem 11), relocatable (base relocations, not
// stripped, DYNAMIC_BASE), no import, import address or delay-import table,
// sections page-aligned (a power of two of at least 4 KiB, so each keeps its
// own page rights), no section both writable and executable, NX-compatible.
// Writes up to `max` reasons, one per broken property, and returns how many
// properties are broken.
int BrokenProperties(const Headers &h, const char **reasons, int max);

// CheckLoadableImage, then the first broken property: what the packer
// accepts.  Returns null when the image is loadable and keeps every property.
const char *CheckDriverImage(const uint8_t *file, size_t size, Headers &out);

}  // namespace pe
