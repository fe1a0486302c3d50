// Loading the image the way the SMM core would: at a base other than the one
// it was linked for, with its relocations applied.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "RealImage.h"
#include "pe/PeReader.h"

namespace {

std::vector<uint8_t> ImageBytes() {
  std::ifstream in(realimage::ImagePath(), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t Read64(const std::vector<uint8_t> &m, uint64_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | m[at + i];
  return v;
}

TEST(Loader, RelocatesEveryAbsoluteAddressToTheChosenBase) {
  pe::Headers image;
  const std::vector<uint8_t> file = ImageBytes();
  ASSERT_EQ(pe::Parse(file.data(), file.size(), image), nullptr);
  ASSERT_NE(image.imageBase, harness::kImageBase) << "the test needs a base the image was not linked for";

  std::vector<uint8_t> atPreferred(image.sizeOfImage), atChosen(image.sizeOfImage);
  size_t relocations = 0;
  ASSERT_EQ(pe::Load(image, file.data(), file.size(), image.imageBase, atPreferred.data(), atPreferred.size(), nullptr),
            nullptr);
  ASSERT_EQ(
      pe::Load(image, file.data(), file.size(), harness::kImageBase, atChosen.data(), atChosen.size(), &relocations),
      nullptr);
  EXPECT_GT(relocations, 0u);

  // Every difference is a 64-bit slot moved by exactly the change of base.
  const uint64_t delta = harness::kImageBase - image.imageBase;
  size_t moved = 0;
  for (size_t at = 0; at < atChosen.size(); ++at) {
    if (atPreferred[at] == atChosen[at]) continue;
    const size_t slot = at & ~size_t{7};
    ASSERT_LE(slot + 8, atChosen.size());
    EXPECT_EQ(Read64(atChosen, slot) - Read64(atPreferred, slot), delta) << "at RVA " << slot;
    at = slot + 7;
    ++moved;
  }
  EXPECT_GT(moved, 0u);

  // No pointer in the sections still aims at the linked base (the headers'
  // own ImageBase field keeps the linked value).
  for (size_t at = image.sections[0].rva; at + 8 <= atChosen.size(); at += 8) {
    const uint64_t v = Read64(atChosen, at);
    if (v >= image.imageBase && v < image.imageBase + image.sizeOfImage)
      ADD_FAILURE() << "an address still points at the linked base at RVA " << at;
  }
}

TEST(Loader, RefusesBrokenImagesWithAReason) {
  const std::vector<uint8_t> good = ImageBytes();
  ASSERT_GT(good.size(), 0x200u);
  const uint32_t pe = good[0x3C] | good[0x3D] << 8;
  struct Case {
    const char *what;
    size_t offset;
    uint8_t value;
    const char *reason;
  } cases[] = {
      {"MZ", 0, 0, "no MZ header"},
      {"signature", pe + 1, 0, "no PE signature"},
      {"machine", pe + 5, 0x01, "not an x86-64 image"},
      {"image size", pe + 24 + 59, 0x7F, "implausible image size"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bad = good;
    bad[c.offset] = c.value;
    sim::Platform platform;
    harness::ImageRun run(platform);
    EXPECT_FALSE(run.LoadBytes(bad));
    EXPECT_NE(run.Fault().find(c.reason), std::string::npos) << run.Fault();
    EXPECT_EQ(run.RunEntryPoint(), harness::kHarnessFault);
  }
  std::vector<uint8_t> cut(good.begin(), good.begin() + 0x100);
  sim::Platform platform;
  harness::ImageRun run(platform);
  EXPECT_FALSE(run.LoadBytes(cut));
  EXPECT_NE(run.Fault().find("bad image"), std::string::npos) << run.Fault();
  EXPECT_FALSE(run.Load("/nonexistent/image.efi"));
  EXPECT_NE(run.Fault().find("cannot read"), std::string::npos) << run.Fault();
}

TEST(Loader, MapNamesTheModulesSymbols) {
  pe::MapFile map;
  ASSERT_TRUE(map.Read(realimage::MapPath())) << map.Error();
  pe::Headers image;
  const std::vector<uint8_t> file = ImageBytes();
  ASSERT_EQ(pe::Parse(file.data(), file.size(), image), nullptr);
  const auto entry = map.Rva("ModuleEntryPoint");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(*entry, image.entryRva);
  for (const char *name : {"GpioUnlockSmiHandler", "PcdDebugPrintErrorLevel", "gBS", "gSmst"}) {
    SCOPED_TRACE(name);
    const auto rva = map.Rva(name);
    ASSERT_TRUE(rva.has_value());
    EXPECT_LT(*rva, image.sizeOfImage);
  }
  EXPECT_FALSE(map.Rva("NoSuchSymbol").has_value());
  EXPECT_FALSE(map.Read("/nonexistent.map"));
}

}  // namespace
