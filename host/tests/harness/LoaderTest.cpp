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

uint32_t Get32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
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

// The reader's rule at each edge, on the image with one field changed: the
// entry point and every relocation target inside the image, whatever their
// width; a relocation block an even number of bytes long; an x86-64 machine.
TEST(Loader, ReaderKeepsEveryEdgeInsideTheImage) {
  const std::vector<uint8_t> good = ImageBytes();
  pe::Headers h;
  ASSERT_EQ(pe::CheckDriverImage(good.data(), good.size(), h), nullptr);
  const pe::DataDirectory relocs = h.directories[pe::kDirBaseReloc];
  size_t table = 0;
  ASSERT_TRUE(h.FileOffset(relocs.rva, relocs.size, table));
  size_t lastBlock = table;
  while (lastBlock + Get32(good, lastBlock + 4) < table + relocs.size) lastBlock += Get32(good, lastBlock + 4);
  const size_t pe = Get32(good, 0x3C), relocSize = pe + 24 + 112 + 8 * pe::kDirBaseReloc + 4;

  struct Case {
    std::string what;
    std::vector<std::pair<size_t, uint32_t>> dwords;  // (file offset, value) written over the image
    const char *reason;                               // null: accepted
  };
  std::vector<Case> cases = {
      {"i386", {{pe + 4, (Get32(good, pe + 4) & 0xFFFF0000) | 0x014C}}, "not an x86-64 image"},
      {"entry at the image's end", {{pe + 24 + 16, h.sizeOfImage}}, "entry point outside the image"},
      {"entry at its last byte", {{pe + 24 + 16, h.sizeOfImage - 1}}, nullptr},
      {"odd block size",
       {{lastBlock + 4, Get32(good, lastBlock + 4) + 1}, {relocSize, relocs.size + 1}},
       "malformed relocation block"},
  };
  // One entry of each width in the image's last 8 bytes (the block's other
  // entries made padding): a 64-bit fix-up needs all 8, a 32-bit one 4.
  for (const auto &[type, width] : {std::pair<int, uint32_t>{pe::kRelDir64, 8}, {pe::kRelHighLow, 4}}) {
    for (uint32_t back = 1; back <= 8; ++back) {
      Case c{"type " + std::to_string(type) + " at " + std::to_string(back) + " bytes from the end",
             {{table, h.sizeOfImage - 0x1000}, {table + 8, static_cast<uint32_t>(type << 12 | (0x1000 - back))}},
             back < width ? "relocation outside the image" : nullptr};
      for (size_t at = table + 12; at < table + Get32(good, table + 4); at += 4) c.dwords.push_back({at, 0});
      cases.push_back(c);
    }
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bad = good;
    for (const auto &[at, value] : c.dwords)
      for (int i = 0; i < 4; ++i) bad[at + i] = static_cast<uint8_t>(value >> (8 * i));
    pe::Headers headers;
    const char *reason = pe::CheckDriverImage(bad.data(), bad.size(), headers);
    EXPECT_STREQ(reason, c.reason);
    // Loading into exactly SizeOfImage bytes agrees, and writes nothing past them.
    std::vector<uint8_t> memory(h.sizeOfImage);
    if (reason == nullptr)
      EXPECT_EQ(pe::Load(headers, bad.data(), bad.size(), 0x1000000, memory.data(), memory.size(), nullptr), nullptr);
  }
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
