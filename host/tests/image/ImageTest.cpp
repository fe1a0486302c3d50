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
#include <string>
#include <vector>

#include "pe/MapFile.h"
#include "pe/PeReader.h"

#ifndef VEXA_IMAGE_PATH
#error "the build gives the image's path"
#endif

namespace {

using pe::kDirBaseReloc, pe::kDirDebug, pe::kDirImport, pe::kDirIat, pe::kDirDelayImport;
constexpr uint32_t kDebugTypeCodeView = 2, kDebugTypeRepro = 16;

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Contains(const std::vector<uint8_t> &bytes, const std::string &text) {
  return !text.empty() && std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

uint32_t Read32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes = ReadFile(VEXA_IMAGE_PATH);
    const char *error = pe::Parse(bytes.data(), bytes.size(), pe);
    ASSERT_EQ(error, nullptr) << VEXA_IMAGE_PATH << ": " << error;
  }
  std::vector<uint8_t> bytes;
  pe::Headers pe{};
};

}  // namespace

TEST_F(ImageTest, IsPe32PlusForX64) {
  EXPECT_EQ(pe.machine, pe::kMachineX64);
  EXPECT_EQ(pe.magic, pe::kMagicPe32Plus);
  EXPECT_NE(pe.characteristics & pe::kFileExecutableImage, 0);
  // Layout the loader relies on.
  EXPECT_LE(pe.sizeOfHeaders, pe.sections[0].rawOffset);
  for (uint16_t i = 0; i < pe.sectionCount; ++i) EXPECT_EQ(pe.sections[i].rawOffset % pe.fileAlignment, 0u) << i;
  EXPECT_EQ(pe.sizeOfImage % pe.sectionAlignment, 0u);
}

TEST_F(ImageTest, IsEnteredAtModuleEntryPoint) {
  pe::MapFile map;
  ASSERT_TRUE(map.Read(VEXA_IMAGE_MAP_PATH)) << map.Error();
  const auto entry = map.Rva("ModuleEntryPoint");
  ASSERT_TRUE(entry) << "ModuleEntryPoint not in " << VEXA_IMAGE_MAP_PATH;
  EXPECT_EQ(pe.entryRva, *entry);
  const pe::Section *text = pe.SectionAt(pe.entryRva);
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->Executable()) << "the entry lies in code";
}

TEST_F(ImageTest, IsAnEfiBootServiceDriver) { EXPECT_EQ(pe.subsystem, pe::kSubsystemEfiBootServiceDriver); }

TEST_F(ImageTest, KeepsItsBaseRelocations) {
  EXPECT_EQ(pe.characteristics & pe::kFileRelocsStripped, 0);
  EXPECT_NE(pe.dllCharacteristics & pe::kDllDynamicBase, 0);
  ASSERT_NE(pe.directories[kDirBaseReloc].size, 0u) << "no base relocation table";

  // Only 64-bit fix-ups (and padding), each in a section of the image.
  struct Seen {
    const pe::Headers *pe;
    int fixups = 0;
  } seen{&pe};
  const char *error = pe::ForEachRelocation(
      pe, bytes.data(), bytes.size(),
      [](void *context, int type, uint32_t rva) -> const char * {
        Seen &s = *static_cast<Seen *>(context);
        if (type == pe::kRelAbsolute) return nullptr;
        if (type != pe::kRelDir64) return "a relocation other than a 64-bit fix-up";
        if (s.pe->SectionAt(rva) == nullptr) return "a fix-up outside every section";
        ++s.fixups;
        return nullptr;
      },
      &seen);
  EXPECT_EQ(error, nullptr) << error;
  EXPECT_GT(seen.fixups, 0);
}

TEST_F(ImageTest, ImportsNothing) {
  for (int d : {kDirImport, kDirIat, kDirDelayImport}) {
    EXPECT_EQ(pe.directories[d].rva, 0u) << "directory " << d;
    EXPECT_EQ(pe.directories[d].size, 0u) << "directory " << d;
  }
}

TEST_F(ImageTest, SectionsArePageAlignedAndNeverWritableAndExecutable) {
  EXPECT_EQ(pe.sectionAlignment, 4096u);
  ASSERT_GT(pe.sectionCount, 0);
  for (uint16_t i = 0; i < pe.sectionCount; ++i) {
    const pe::Section &s = pe.sections[i];
    EXPECT_EQ(s.rva % 4096, 0u) << s.name;
    EXPECT_FALSE(s.Writable() && s.Executable()) << s.name;
  }
}

TEST_F(ImageTest, IsNxCompatible) { EXPECT_NE(pe.dllCharacteristics & pe::kDllNxCompat, 0); }

TEST_F(ImageTest, CarriesNoBuildPathOrDebugRecord) {
  EXPECT_FALSE(Contains(bytes, VEXA_BUILD_DIR)) << "the build directory";
  EXPECT_FALSE(Contains(bytes, VEXA_SOURCE_ROOT)) << "the source directory";

  // A debug directory, if any, holds only the reproducible-build record: no
  // CodeView record, which would name a PDB by its path and carry a time.
  const pe::DataDirectory debug = pe.directories[kDirDebug];
  ASSERT_EQ(debug.size % 28, 0u);
  size_t start = 0;
  ASSERT_TRUE(debug.size == 0 || pe.FileOffset(debug.rva, debug.size, start));
  for (uint32_t i = 0; i < debug.size / 28; ++i) {
    const uint32_t type = Read32(bytes, start + i * 28 + 12);
    EXPECT_NE(type, kDebugTypeCodeView);
    EXPECT_EQ(type, kDebugTypeRepro);
  }
}

// 7,424 bytes (7.25 KiB).  A board whose UART sits behind PCI bridges carries
// the code that reaches it on top (the bridges' windows, the BAR, the power
// state: about 1.2 KiB with its reports), and has 9 KiB; a board whose
// handler checks the window's register first carries that check (about 130
// bytes), and has 512 bytes more.
TEST_F(ImageTest, IsSmall) {
  pe::MapFile map;
  ASSERT_TRUE(map.Read(VEXA_IMAGE_MAP_PATH)) << map.Error();
  const bool pciUart = map.BoardSetting("SerialPciDeviceInfo").value_or("END") != "END";
  const bool windowCheck = map.BoardSetting("PciExpressBarRegister").has_value();
  const size_t budget = (pciUart ? 9u * 1024 : 7424u) + (windowCheck ? 512u : 0u);
  const size_t size = bytes.size();
  RecordProperty("ImageBytes", static_cast<int>(size));
  std::printf("VexaGpioUnlockSmm.efi: %zu bytes\n", size);
  EXPECT_LE(size, budget) << "the image has outgrown its " << budget << "-byte budget";
}

// The debug companion beside the image (VexaGpioUnlockSmm.debug) is what gdb
// loads: every section of the image, same place, same bytes, plus DWARF that
// names the handler.
TEST_F(ImageTest, DebugCompanionHoldsEverySectionOfTheImage) {
  std::string path = VEXA_IMAGE_PATH;
  path = path.substr(0, path.rfind('.')) + ".debug";
  const std::vector<uint8_t> debug = ReadFile(path);
  pe::Headers d{};
  ASSERT_EQ(pe::Parse(debug.data(), debug.size(), d), nullptr) << path;
  EXPECT_EQ(d.imageBase, pe.imageBase);
  EXPECT_GT(d.sectionCount, pe.sectionCount);
  for (uint16_t i = 0; i < pe.sectionCount; ++i) {
    const pe::Section &s = pe.sections[i], &c = d.sections[i];
    EXPECT_STREQ(c.name, s.name);
    EXPECT_EQ(c.rva, s.rva) << s.name;
    EXPECT_EQ(c.virtualSize, s.virtualSize) << s.name;
    EXPECT_EQ(c.characteristics, s.characteristics) << s.name;
    const uint32_t n = std::min(s.virtualSize, s.rawSize);
    ASSERT_LE(c.rawOffset + n, debug.size()) << s.name;
    EXPECT_TRUE(std::equal(bytes.begin() + s.rawOffset, bytes.begin() + s.rawOffset + n, debug.begin() + c.rawOffset))
        << s.name;
  }
  EXPECT_TRUE(Contains(debug, "GpioUnlockSmiHandler"));
}
