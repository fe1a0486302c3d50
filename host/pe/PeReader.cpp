#include "pe/PeReader.h"

namespace pe {

namespace {

bool Fits(uint64_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }

uint16_t Get16(const uint8_t *b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Get32(const uint8_t *b, size_t at) { return Get16(b, at) | static_cast<uint32_t>(Get16(b, at + 2)) << 16; }
uint64_t Get64(const uint8_t *b, size_t at) { return Get32(b, at) | static_cast<uint64_t>(Get32(b, at + 4)) << 32; }
void Put32(uint8_t *b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t *b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Offsets in the COFF file header and the PE32+ optional header.
constexpr size_t kCoffMachine = 4, kCoffSectionCount = 6, kCoffTimeDateStamp = 8, kCoffOptionalSize = 20,
                 kCoffCharacteristics = 22, kOptionalStart = 24;
constexpr size_t kOptMagic = 0, kOptEntry = 16, kOptImageBase = 24, kOptSectionAlignment = 32, kOptFileAlignment = 36,
                 kOptSizeOfImage = 56, kOptSizeOfHeaders = 60, kOptSubsystem = 68, kOptDllCharacteristics = 70,
                 kOptDirectoryCount = 108, kOptDirectories = 112;
constexpr size_t kSectionHeaderSize = 40;

}  // namespace

const Section *Headers::SectionAt(uint32_t rva) const {
  for (uint16_t i = 0; i < sectionCount; ++i)
    if (rva >= sections[i].rva && rva - sections[i].rva < sections[i].virtualSize) return &sections[i];
  return nullptr;
}

bool Headers::FileOffset(uint32_t rva, uint32_t size, size_t &offset) const {
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const Section &s = sections[i];
    if (rva >= s.rva && Fits(s.rawSize, rva - s.rva, size)) {
      offset = size_t{s.rawOffset} + (rva - s.rva);
      return true;
    }
  }
  return false;
}

const char *Parse(const uint8_t *file, size_t size, Headers &h) {
  h = Headers{};
  if (file == nullptr || size < 0x40 || Get16(file, 0) != kDosMagic) return "no MZ header";
  const uint32_t pe = Get32(file, 0x3C);
  if (!Fits(size, pe, kOptionalStart) || Get32(file, pe) != kPeSignature) return "no PE signature";
  h.machine = Get16(file, pe + kCoffMachine);
  if (h.machine != kMachineX64) return "not an x86-64 image";
  h.sectionCount = Get16(file, pe + kCoffSectionCount);
  h.timeDateStamp = Get32(file, pe + kCoffTimeDateStamp);
  h.characteristics = Get16(file, pe + kCoffCharacteristics);
  const uint16_t optionalSize = Get16(file, pe + kCoffOptionalSize);
  const size_t opt = size_t{pe} + kOptionalStart;
  if (optionalSize < kOptDirectories || !Fits(size, opt, optionalSize)) return "truncated optional header";
  h.magic = Get16(file, opt + kOptMagic);
  if (h.magic != kMagicPe32Plus) return "not a PE32+ image";
  h.entryRva = Get32(file, opt + kOptEntry);
  h.imageBase = Get64(file, opt + kOptImageBase);
  h.sectionAlignment = Get32(file, opt + kOptSectionAlignment);
  h.fileAlignment = Get32(file, opt + kOptFileAlignment);
  h.sizeOfImage = Get32(file, opt + kOptSizeOfImage);
  h.sizeOfHeaders = Get32(file, opt + kOptSizeOfHeaders);
  h.subsystem = Get16(file, opt + kOptSubsystem);
  h.dllCharacteristics = Get16(file, opt + kOptDllCharacteristics);
  if (h.sizeOfImage == 0 || h.sizeOfImage > kMaxImageSize) return "implausible image size";
  if (h.sizeOfHeaders > size || h.sizeOfHeaders > h.sizeOfImage) return "implausible header size";

  const uint32_t directoryCount = Get32(file, opt + kOptDirectoryCount);
  if (directoryCount > kDirectoryCount || kOptDirectories + uint64_t{directoryCount} * 8 > optionalSize)
    return "bad data directory count";
  for (uint32_t d = 0; d < directoryCount; ++d)
    h.directories[d] = {Get32(file, opt + kOptDirectories + d * 8), Get32(file, opt + kOptDirectories + d * 8 + 4)};

  if (h.sectionCount == 0) return "no sections";
  if (h.sectionCount > kMaxSections) return "too many sections";
  const size_t table = opt + optionalSize;
  if (!Fits(size, table, uint64_t{h.sectionCount} * kSectionHeaderSize)) return "truncated section table";
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    const size_t at = table + i * kSectionHeaderSize;
    Section &s = h.sections[i];
    for (int c = 0; c < 8; ++c) s.name[c] = static_cast<char>(file[at + c]);
    s.name[8] = 0;
    s.virtualSize = Get32(file, at + 8);
    s.rva = Get32(file, at + 12);
    s.rawSize = Get32(file, at + 16);
    s.rawOffset = Get32(file, at + 20);
    s.characteristics = Get32(file, at + 36);
    if (!Fits(h.sizeOfImage, s.rva, s.virtualSize)) return "a section lies outside the image";
    if (!Fits(size, s.rawOffset, s.rawSize)) return "a section lies outside the file";
  }
  if (h.entryRva >= h.sizeOfImage) return "entry point outside the image";
  const DataDirectory relocs = h.directories[kDirBaseReloc];
  if (!Fits(h.sizeOfImage, relocs.rva, relocs.size)) return "relocations outside the image";
  size_t unused = 0;
  if (relocs.size != 0 && !h.FileOffset(relocs.rva, relocs.size, unused))
    return "relocations outside every section's file data";
  return nullptr;
}

const char *ForEachRelocation(const Headers &h, const uint8_t *file, size_t size, RelocationVisitor visit,
                              void *context) {
  const DataDirectory relocs = h.directories[kDirBaseReloc];
  if (relocs.size == 0) return nullptr;
  size_t start = 0;
  if (!h.FileOffset(relocs.rva, relocs.size, start) || !Fits(size, start, relocs.size))
    return "relocations outside every section's file data";
  const size_t end = start + relocs.size;
  for (size_t at = start; at + 8 <= end;) {
    const uint32_t page = Get32(file, at);
    const uint32_t blockSize = Get32(file, at + 4);
    if (blockSize < 8 || blockSize > end - at || (blockSize & 1) != 0) return "malformed relocation block";
    for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint16_t entry = Get16(file, e);
      const int type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type != kRelAbsolute) {
        if (type != kRelDir64 && type != kRelHighLow) return "unsupported relocation type";
        if (!Fits(h.sizeOfImage, target, type == kRelDir64 ? 8 : 4)) return "relocation outside the image";
      }
      if (visit != nullptr) {
        const char *stop = visit(context, type, static_cast<uint32_t>(target));
        if (stop != nullptr) return stop;
      }
    }
    at += blockSize;
  }
  return nullptr;
}

namespace {

struct Relocator {
  uint8_t *memory;
  uint64_t delta;
  size_t applied;
};

const char *Relocate(void *context, int type, uint32_t rva) {
  Relocator &r = *static_cast<Relocator *>(context);
  if (type == kRelDir64) {
    Put64(r.memory, rva, Get64(r.memory, rva) + r.delta);
    ++r.applied;
  } else if (type == kRelHighLow) {
    Put32(r.memory, rva, Get32(r.memory, rva) + static_cast<uint32_t>(r.delta));
  }
  return nullptr;
}

}  // namespace

const char *Load(const Headers &h, const uint8_t *file, size_t size, uint64_t base, uint8_t *memory, size_t memorySize,
                 size_t *applied) {
  if (memory == nullptr || memorySize < h.sizeOfImage) return "no room for the image";
  if (h.sizeOfHeaders > size) return "implausible header size";
  for (size_t i = 0; i < h.sizeOfImage; ++i) memory[i] = 0;
  for (size_t i = 0; i < h.sizeOfHeaders; ++i) memory[i] = file[i];
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    const Section &s = h.sections[i];
    if (!Fits(size, s.rawOffset, s.rawSize) || !Fits(h.sizeOfImage, s.rva, s.virtualSize))
      return "a section lies outside the file";
    const uint32_t copy = s.rawSize < s.virtualSize ? s.rawSize : s.virtualSize;
    for (uint32_t b = 0; b < copy; ++b) memory[s.rva + b] = file[s.rawOffset + b];
  }
  Relocator r{memory, base - h.imageBase, 0};
  const char *error = ForEachRelocation(h, file, size, Relocate, &r);
  if (applied != nullptr) *applied = r.applied;
  return error;
}

const char *CheckLoadableImage(const uint8_t *file, size_t size, Headers &h) {
  const char *error = Parse(file, size, h);
  if (error == nullptr) error = ForEachRelocation(h, file, size, nullptr, nullptr);
  if (error == nullptr && h.subsystem != kSubsystemEfiBootServiceDriver && h.subsystem != kSubsystemEfiRuntimeDriver)
    error = "not a UEFI driver image (subsystem neither 11 nor 12)";
  return error;
}

int BrokenProperties(const Headers &h, const char **reasons, int max) {
  int count = 0;
  auto broken = [&](const char *reason) {
    if (count < max) reasons[count] = reason;
    ++count;
  };
  if (h.subsystem != kSubsystemEfiBootServiceDriver) broken("not a boot-service driver (subsystem 11)");
  if ((h.characteristics & kFileRelocsStripped) != 0 || h.directories[kDirBaseReloc].size == 0)
    broken("no base relocations: it could load only at its preferred base");
  if ((h.dllCharacteristics & kDllDynamicBase) == 0) broken("not marked relocatable (DYNAMIC_BASE clear)");
  if (h.directories[kDirImport].size != 0 || h.directories[kDirIat].size != 0 ||
      h.directories[kDirDelayImport].size != 0)
    broken("an import table: the module imports nothing, and no loader of it resolves imports");
  const uint32_t align = h.sectionAlignment;
  bool aligned = align >= 0x1000 && (align & (align - 1)) == 0;
  for (uint16_t i = 0; aligned && i < h.sectionCount; ++i) aligned = (h.sections[i].rva & (align - 1)) == 0;
  if (!aligned) broken("sections not page-aligned (SectionAlignment a power of two of at least 4096)");
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    if (h.sections[i].Writable() && h.sections[i].Executable()) {
      broken("a section both writable and executable");
      break;
    }
  }
  if ((h.dllCharacteristics & kDllNxCompat) == 0) broken("not NX-compatible (NX_COMPAT clear)");
  return count;
}

const char *CheckDriverImage(const uint8_t *file, size_t size, Headers &h) {
  const char *error = CheckLoadableImage(file, size, h);
  if (error == nullptr) BrokenProperties(h, &error, 1);  // the first broken property, if any
  return error;
}

}  // namespace pe
