// The built image, read as a loader reads it: PE32+ for x86-64, entered at
// ModuleEntryPoint, an EFI boot service driver, relocatable, importing
// nothing, 4 KiB sections with no page both writable and executable,
// NX-compatible, free of build paths and time stamps, and small.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifndef VEXA_IMAGE_PATH
#error "the build gives the image's path"
#endif

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kFileRelocsStripped = 0x0001, kFileExecutableImage = 0x0002;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr uint16_t kDllDynamicBase = 0x0040, kDllNxCompat = 0x0100;
constexpr uint32_t kScnMemExecute = 0x20000000, kScnMemWrite = 0x80000000;
constexpr int kDirImport = 1, kDirBaseReloc = 5, kDirDebug = 6, kDirIat = 12, kDirDelayImport = 13;
constexpr uint16_t kRelAbsolute = 0, kRelDir64 = 10;
constexpr uint32_t kDebugTypeCodeView = 2, kDebugTypeRepro = 16;

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Section {
  std::string name;
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
};

struct DataDirectory {
  uint32_t rva, size;
};

// The headers of a PE32+ file.  Every read is bounds-checked: a truncated or
// malformed file gives an error, never a read past the end.
class PeFile {
 public:
  static std::optional<PeFile> Parse(std::vector<uint8_t> bytes, std::string &error) {
    PeFile pe;
    pe.bytes_ = std::move(bytes);
    if (!pe.ParseHeaders(error)) return std::nullopt;
    return pe;
  }

  const std::vector<uint8_t> &Bytes() const { return bytes_; }

  uint16_t machine = 0, characteristics = 0, magic = 0, subsystem = 0, dllCharacteristics = 0;
  uint32_t timeDateStamp = 0, entryPoint = 0, sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0,
           sizeOfHeaders = 0;
  uint64_t imageBase = 0;
  std::vector<DataDirectory> directories;
  std::vector<Section> sections;

  // The file offset of `size` bytes at `rva`, if a section's raw data holds them.
  std::optional<size_t> OffsetOf(uint32_t rva, uint32_t size) const {
    for (const Section &s : sections) {
      if (rva >= s.virtualAddress && uint64_t{rva} + size <= uint64_t{s.virtualAddress} + s.rawSize) {
        return size_t{s.rawOffset} + (rva - s.virtualAddress);
      }
    }
    return std::nullopt;
  }
  const Section *SectionAt(uint32_t rva) const {
    for (const Section &s : sections) {
      if (rva >= s.virtualAddress && rva < s.virtualAddress + s.virtualSize) return &s;
    }
    return nullptr;
  }

  template <typename T>
  bool Read(size_t offset, T &value) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return true;
  }

 private:
  bool ParseHeaders(std::string &error) {
    uint16_t dosMagic = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!Read(0, dosMagic) || dosMagic != 0x5A4D || !Read(0x3C, peOffset)) return Fail(error, "no DOS header");
    if (!Read(peOffset, signature) || signature != 0x00004550) return Fail(error, "no PE signature");
    const size_t coff = size_t{peOffset} + 4;
    uint16_t sectionCount = 0, optionalSize = 0;
    if (!Read(coff + 0, machine) || !Read(coff + 2, sectionCount) || !Read(coff + 4, timeDateStamp) ||
        !Read(coff + 16, optionalSize) || !Read(coff + 18, characteristics)) {
      return Fail(error, "truncated file header");
    }
    const size_t opt = coff + 20;
    uint32_t directoryCount = 0;
    if (!Read(opt + 0, magic) || !Read(opt + 16, entryPoint) || !Read(opt + 24, imageBase) ||
        !Read(opt + 32, sectionAlignment) || !Read(opt + 36, fileAlignment) || !Read(opt + 56, sizeOfImage) ||
        !Read(opt + 60, sizeOfHeaders) || !Read(opt + 68, subsystem) || !Read(opt + 70, dllCharacteristics) ||
        !Read(opt + 108, directoryCount)) {
      return Fail(error, "truncated optional header");
    }
    if (magic != kMagicPe32Plus) return Fail(error, "not PE32+");
    if (directoryCount > 16 || 112 + size_t{directoryCount} * 8 > optionalSize) {
      return Fail(error, "bad data directory count");
    }
    for (uint32_t i = 0; i < 16; ++i) {
      DataDirectory d{0, 0};
      if (i < directoryCount && (!Read(opt + 112 + i * 8, d.rva) || !Read(opt + 116 + i * 8, d.size))) {
        return Fail(error, "truncated data directories");
      }
      directories.push_back(d);
    }
    const size_t table = opt + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      const size_t at = table + size_t{i} * 40;
      char name[9] = {};
      Section s{};
      if (at + 40 > bytes_.size()) return Fail(error, "truncated section table");
      std::memcpy(name, bytes_.data() + at, 8);
      s.name = name;
      Read(at + 8, s.virtualSize);
      Read(at + 12, s.virtualAddress);
      Read(at + 16, s.rawSize);
      Read(at + 20, s.rawOffset);
      Read(at + 36, s.characteristics);
      if (uint64_t{s.rawOffset} + s.rawSize > bytes_.size()) return Fail(error, "section " + s.name + " past the end");
      sections.push_back(s);
    }
    return true;
  }
  static bool Fail(std::string &error, const std::string &what) {
    error = what;
    return false;
  }

  std::vector<uint8_t> bytes_;
};

// The image address of a symbol, from the linker's map file.
std::optional<uint64_t> MapAddress(const std::string &mapPath, const std::string &symbol) {
  std::ifstream map(mapPath);
  std::string line;
  while (std::getline(map, line)) {
    std::istringstream fields(line);
    std::string where, name, address;
    if (fields >> where >> name >> address && name == symbol) return std::stoull(address, nullptr, 16);
  }
  return std::nullopt;
}

bool Contains(const std::vector<uint8_t> &bytes, const std::string &text) {
  return !text.empty() && std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    pe = PeFile::Parse(ReadFile(VEXA_IMAGE_PATH), error);
    ASSERT_TRUE(pe) << VEXA_IMAGE_PATH << ": " << error;
  }
  std::optional<PeFile> pe;
};

}  // namespace

TEST_F(ImageTest, IsPe32PlusForX64) {
  EXPECT_EQ(pe->machine, kMachineAmd64);
  EXPECT_EQ(pe->magic, kMagicPe32Plus);
  EXPECT_NE(pe->characteristics & kFileExecutableImage, 0);
  // Layout the loader relies on.
  EXPECT_LE(pe->sizeOfHeaders, pe->sections.front().rawOffset);
  for (const Section &s : pe->sections) {
    EXPECT_EQ(s.rawOffset % pe->fileAlignment, 0u) << s.name;
    EXPECT_LE(uint64_t{s.virtualAddress} + s.virtualSize, pe->sizeOfImage) << s.name;
  }
  EXPECT_EQ(pe->sizeOfImage % pe->sectionAlignment, 0u);
}

TEST_F(ImageTest, IsEnteredAtModuleEntryPoint) {
  const std::optional<uint64_t> address = MapAddress(VEXA_IMAGE_MAP_PATH, "ModuleEntryPoint");
  ASSERT_TRUE(address) << "ModuleEntryPoint not in " << VEXA_IMAGE_MAP_PATH;
  EXPECT_EQ(pe->entryPoint, *address - pe->imageBase);
  const Section *text = pe->SectionAt(pe->entryPoint);
  ASSERT_NE(text, nullptr);
  EXPECT_NE(text->characteristics & kScnMemExecute, 0u) << "the entry lies in code";
}

TEST_F(ImageTest, IsAnEfiBootServiceDriver) { EXPECT_EQ(pe->subsystem, kSubsystemEfiBootServiceDriver); }

TEST_F(ImageTest, KeepsItsBaseRelocations) {
  EXPECT_EQ(pe->characteristics & kFileRelocsStripped, 0);
  EXPECT_NE(pe->dllCharacteristics & kDllDynamicBase, 0);
  const DataDirectory relocs = pe->directories[kDirBaseReloc];
  ASSERT_NE(relocs.size, 0u) << "no base relocation table";
  const std::optional<size_t> start = pe->OffsetOf(relocs.rva, relocs.size);
  ASSERT_TRUE(start) << "the table lies outside every section's data";

  // Blocks of {page, size} and 16-bit entries; every 64-bit fix-up points
  // into the image.
  int fixups = 0;
  for (size_t at = *start; at < *start + relocs.size;) {
    uint32_t page = 0, blockSize = 0;
    ASSERT_TRUE(pe->Read(at, page) && pe->Read(at + 4, blockSize));
    ASSERT_GE(blockSize, 8u);
    ASSERT_EQ(blockSize % 2, 0u);
    ASSERT_LE(at + blockSize, *start + relocs.size);
    for (size_t e = at + 8; e < at + blockSize; e += 2) {
      uint16_t entry = 0;
      ASSERT_TRUE(pe->Read(e, entry));
      const uint16_t type = entry >> 12;
      ASSERT_TRUE(type == kRelDir64 || type == kRelAbsolute) << "relocation type " << type;
      if (type == kRelDir64) {
        const uint32_t target = page + (entry & 0xFFF);
        EXPECT_NE(pe->SectionAt(target), nullptr) << "fix-up at 0x" << std::hex << target;
        ++fixups;
      }
    }
    at += blockSize;
  }
  EXPECT_GT(fixups, 0);
}

TEST_F(ImageTest, ImportsNothing) {
  for (int d : {kDirImport, kDirIat, kDirDelayImport}) {
    EXPECT_EQ(pe->directories[d].rva, 0u) << "directory " << d;
    EXPECT_EQ(pe->directories[d].size, 0u) << "directory " << d;
  }
}

TEST_F(ImageTest, SectionsArePageAlignedAndNeverWritableAndExecutable) {
  EXPECT_EQ(pe->sectionAlignment, 4096u);
  ASSERT_FALSE(pe->sections.empty());
  for (const Section &s : pe->sections) {
    EXPECT_EQ(s.virtualAddress % 4096, 0u) << s.name;
    EXPECT_FALSE((s.characteristics & kScnMemWrite) && (s.characteristics & kScnMemExecute)) << s.name;
  }
}

TEST_F(ImageTest, IsNxCompatible) { EXPECT_NE(pe->dllCharacteristics & kDllNxCompat, 0); }

TEST_F(ImageTest, CarriesNoBuildPathOrDebugRecord) {
  EXPECT_FALSE(Contains(pe->Bytes(), VEXA_BUILD_DIR)) << "the build directory";
  EXPECT_FALSE(Contains(pe->Bytes(), VEXA_SOURCE_ROOT)) << "the source directory";

  // A debug directory, if any, holds only the reproducible-build record: no
  // CodeView record, which would name a PDB by its path and carry a time.
  const DataDirectory debug = pe->directories[kDirDebug];
  ASSERT_EQ(debug.size % 28, 0u);
  const std::optional<size_t> start = pe->OffsetOf(debug.rva, debug.size);
  ASSERT_TRUE(debug.size == 0 || start);
  for (uint32_t i = 0; i < debug.size / 28; ++i) {
    uint32_t type = 0;
    ASSERT_TRUE(pe->Read(*start + i * 28 + 12, type));
    EXPECT_NE(type, kDebugTypeCodeView);
    EXPECT_EQ(type, kDebugTypeRepro);
  }
}

TEST_F(ImageTest, IsSmall) {
  const size_t size = pe->Bytes().size();
  RecordProperty("ImageBytes", static_cast<int>(size));
  std::printf("VexaGpioUnlockSmm.efi: %zu bytes\n", size);
  EXPECT_LT(size, 12u * 1024) << "the image has outgrown its 12 KiB budget";
}
