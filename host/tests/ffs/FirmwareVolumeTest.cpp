// The packaged module checked by an independent reader: Debian's UEFIExtract
// parses the volume the packager writes, verifies its checksums, and hands
// back the PE32 body, which must be the image byte for byte.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "FirmwareFile.h"
#include "pe/PeReader.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using packager::Bytes;

const fs::path kVolumeDir = "0 8C8CE578-8A3D-4F1C-9935-896185C32DD3";
const fs::path kFileDir = kVolumeDir / "0 VexaGpioUnlockSmm";

Bytes ReadBytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::string ReadText(const fs::path &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteBytes(const fs::path &path, const Bytes &data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

using testsupport::Outcome;
using testsupport::Quote;
using testsupport::Shell;

class FirmwareVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vexa_ffs_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_TRUE(fs::exists(VEXA_UEFIEXTRACT)) << "UEFIExtract (Debian package uefitool-cli) is not installed";
    image_ = ReadBytes(VEXA_IMAGE_PATH);
    ASSERT_FALSE(image_.empty()) << "no image at " << VEXA_IMAGE_PATH;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Packs the image with the tool into dir_/name.fv.
  fs::path Pack(const std::string &name) {
    const fs::path fv = dir_ / (name + ".fv");
    const Outcome run = Shell(Quote(VEXA_FFS_TOOL) + " " + Quote(VEXA_IMAGE_PATH) + " " +
                              Quote(dir_ / (name + ".ffs")) + " " + Quote(fv));
    EXPECT_EQ(run.status, 0) << run.output;
    return fv;
  }
  // Runs the extractor on a volume; its dump lands in <volume>.dump.
  Outcome Extract(const fs::path &fv) { return Shell(Quote(VEXA_UEFIEXTRACT) + " " + Quote(fv) + " all"); }

  fs::path dir_;
  Bytes image_;
};

TEST_F(FirmwareVolume, ExtractorParsesVolumeAndFindsTheImageUnchanged) {
  const fs::path fv = Pack("module");
  const Outcome run = Extract(fv);
  ASSERT_EQ(run.status, 0) << run.output;
  // The extractor names each problem it finds on its output; a lone volume
  // has no top file, which is the only remark expected.
  EXPECT_EQ(run.output.find("invalid"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("checksum"), std::string::npos) << run.output;

  const fs::path dump = fv.string() + ".dump";
  const std::string volume = ReadText(dump / kVolumeDir / "info.txt");
  EXPECT_NE(volume.find("Subtype: FFSv2\n"), std::string::npos) << volume;
  EXPECT_NE(volume.find("Erase polarity: 1\n"), std::string::npos) << volume;
  EXPECT_NE(volume.find("h, valid\n"), std::string::npos) << volume;  // header checksum
  EXPECT_EQ(volume.find("invalid"), std::string::npos) << volume;

  const std::string file = ReadText(dump / kFileDir / "info.txt");
  EXPECT_NE(file.find("File GUID: 5C7C571E-4EAA-46E7-9467-DCA8490EB9F2\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Type: 0Ah\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Subtype: SMM module\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Text: VexaGpioUnlockSmm\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Header checksum: "), std::string::npos) << file;
  EXPECT_NE(file.find("Data checksum: "), std::string::npos) << file;
  EXPECT_EQ(file.find("invalid"), std::string::npos) << file;

  const std::string depex = ReadText(dump / kFileDir / "0 MM dependency section" / "info.txt");
  EXPECT_NE(depex.find("Parsed expression:\nPUSH 8497455B-B489-4AC7-BD51-78DF4E1F1ACD\nEND\n"), std::string::npos)
      << depex;

  const Bytes body = ReadBytes(dump / kFileDir / "1 PE32 image section" / "body.bin");
  EXPECT_EQ(body.size(), image_.size());
  EXPECT_TRUE(body == image_) << "the PE32 section's body differs from the image";

  const std::string ui = ReadText(dump / kFileDir / "2 UI section" / "info.txt");
  EXPECT_NE(ui.find("Text: VexaGpioUnlockSmm\n"), std::string::npos) << ui;
}

TEST_F(FirmwareVolume, ExtractorReportsEachCorruption) {
  const Bytes good = ReadBytes(Pack("module"));
  ASSERT_FALSE(good.empty());
  const size_t file = packager::kVolumeHeaderSize;
  struct Case {
    const char *what;
    size_t offset;
    const char *report;  // on the extractor's output
    fs::path info;       // whose info.txt marks the checksum invalid
  } cases[] = {
      {"volume header", 44 /* attributes */, "volume header checksum is invalid", kVolumeDir},
      {"file header", file + 1 /* name */, "invalid header checksum", kFileDir},
      {"image byte", file + packager::kFileHeaderSize + 0x40, "invalid data checksum", kFileDir},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bad = good;
    bad[c.offset] ^= 0x10;
    const fs::path fv = dir_ / (std::string("bad ") + c.what + ".fv");
    WriteBytes(fv, bad);
    const Outcome run = Extract(fv);
    EXPECT_NE(run.output.find(c.report), std::string::npos) << run.output;
    const std::string info = ReadText(fs::path(fv.string() + ".dump") / c.info / "info.txt");
    EXPECT_NE(info.find(", invalid, should be "), std::string::npos) << info;
  }
}

TEST_F(FirmwareVolume, ToolRejectsBadInputWithAMessage) {
  const fs::path notPe = dir_ / "text.efi";
  WriteBytes(notPe, Bytes{'h', 'e', 'l', 'l', 'o'});
  Bytes truncated(image_.begin(), image_.begin() + 0x90);
  const fs::path cut = dir_ / "cut.efi";
  WriteBytes(cut, truncated);
  const fs::path own = dir_ / "own.efi", kept = dir_ / "kept.ffs";
  WriteBytes(own, image_);
  WriteBytes(kept, Bytes{'m', 'i', 'n', 'e'});
  const std::string tool = Quote(VEXA_FFS_TOOL);
  struct Case {
    std::string args;
    int status;
    const char *message;
  } cases[] = {
      {"", 2, "usage:"},
      {Quote(dir_ / "missing.efi") + " out.ffs", 1, "cannot read"},
      {Quote(notPe) + " " + Quote(dir_ / "a.ffs"), 1, "not a loadable driver image: no MZ header"},
      {Quote(cut) + " " + Quote(dir_ / "b.ffs"), 1, "vexa-ffs: "},
      {Quote(VEXA_IMAGE_PATH) + " " + Quote(dir_ / "no-such-dir" / "c.ffs"), 1, "cannot write"},
      {Quote(dir_) + " " + Quote(dir_ / "d.ffs"), 1, "is a folder, not a file"},
      {"--help", 0, "usage:"},
      // The volume cannot be written: the file written before it is taken back.
      {Quote(VEXA_IMAGE_PATH) + " " + Quote(dir_ / "e.ffs") + " " + Quote(dir_ / "no-such-dir" / "e.fv"), 1,
       "cannot write"},
      // A file that was there before such a failure stays as it was.
      {Quote(VEXA_IMAGE_PATH) + " " + Quote(kept) + " " + Quote(dir_ / "no-such-dir" / "f.fv"), 1, "cannot write"},
      // An output naming the image, or both outputs naming one file, is refused before anything is written.
      {Quote(own) + " " + Quote(own), 2, "is the image itself"},
      {Quote(own) + " " + Quote(dir_ / "g.ffs") + " " + Quote(dir_ / "." / "own.efi"), 2, "is the image itself"},
      {Quote(own) + " " + Quote(kept) + " " + Quote(kept), 2, "named for both outputs"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome run = Shell(tool + " " + c.args);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  }
  EXPECT_FALSE(fs::exists(dir_ / "e.ffs"));
  EXPECT_FALSE(fs::exists(dir_ / "g.ffs"));
  EXPECT_EQ(ReadBytes(own), image_);
  EXPECT_EQ(ReadBytes(kept), Bytes({'m', 'i', 'n', 'e'}));
  // Nothing left behind: the folder holds the files the test put there.
  std::set<std::string> left;
  for (const auto &entry : fs::directory_iterator(dir_)) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"cut.efi", "kept.ffs", "own.efi", "text.efi"}));
}

// The fields a firmware reads before it dispatches the file, against their
// published values written out here (not the packer's constants): a wrong
// state byte, for one, reads as a deleted file that no checksum notices.
TEST(FirmwareFileBuilder, HeadersHoldTheValuesAFirmwareActsOn) {
  const Bytes image = ReadBytes(VEXA_IMAGE_PATH);
  std::string error;
  const Bytes file = packager::BuildModuleFile(image, packager::kModuleFileGuid, packager::kModuleUiName, error);
  ASSERT_TRUE(error.empty()) << error;
  const Bytes fv = packager::BuildVolume({file}, error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_GT(fv.size(), 0x48u + file.size());
  auto le = [](uint64_t v, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
  };
  const size_t f = 0x48, pe32 = f + 24 + 24;  // the file; its PE32 section after the 22-byte depex, aligned
  const struct {
    const char *what;
    size_t at;
    Bytes bytes;
  } fields[] = {
      {"zero vector", 0, Bytes(16, 0)},
      {"file system",
       16,
       {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F, 0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}},
      {"volume length", 32, le(fv.size(), 8)},
      {"signature", 40, {'_', 'F', 'V', 'H'}},
      {"attributes: erase polarity 1, 8-byte alignment", 44, le(0x00030E3F, 4)},
      {"header length, no extended header, revision 2", 48, {0x48, 0, fv[50], fv[51], 0, 0, 0, 2}},
      {"block map", 56, le(fv.size() / 0x1000, 4)},
      {"block size, terminator", 60, {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"file name",
       f,
       {0x1E, 0x57, 0x7C, 0x5C, 0xAA, 0x4E, 0xE7, 0x46, 0x94, 0x67, 0xDC, 0xA8, 0x49, 0x0E, 0xB9, 0xF2}},
      {"type SMM, checksummed", f + 18, {0x0A, 0x40}},
      {"file size", f + 20, le(file.size(), 3)},
      {"state: valid, with erase polarity 1", f + 23, {0xF8}},
      {"depex section", f + 24, {22, 0, 0, 0x1C, 0x02, 0x5B, 0x45, 0x97, 0x84}},
      {"depex end", f + 24 + 21, {0x08}},
      {"PE32 section", pe32, le(image.size() + 4, 3)},
      {"PE32 type and the image", pe32 + 3, {0x10, 'M', 'Z'}},
  };
  for (const auto &c : fields) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Bytes(fv.begin() + static_cast<long>(c.at), fv.begin() + static_cast<long>(c.at + c.bytes.size())),
              c.bytes);
  }
  // The volume header's 16-bit words sum to zero; the file header's bytes do,
  // with its state and data checksum counted as zero; the data checksum makes
  // the data's bytes sum to zero.
  uint16_t words = 0;
  for (size_t i = 0; i < 0x48; i += 2) words = static_cast<uint16_t>(words + (fv[i] | fv[i + 1] << 8));
  EXPECT_EQ(words, 0);
  uint8_t header = 0, data = fv[f + 17];
  for (size_t i = 0; i < 24; ++i) header = static_cast<uint8_t>(header + (i == 17 || i == 23 ? 0 : fv[f + i]));
  for (size_t i = 24; i < file.size(); ++i) data = static_cast<uint8_t>(data + fv[f + i]);
  EXPECT_EQ(header, 0);
  EXPECT_EQ(data, 0);
}

TEST(FirmwareFileBuilder, RefusesImagesTheFirmwareCouldNotLoad) {
  Bytes image = ReadBytes(VEXA_IMAGE_PATH);
  ASSERT_GT(image.size(), 0x200u);
  ASSERT_EQ(packager::CheckPe32PlusImage(image), "");
  const uint32_t pe = image[0x3C] | image[0x3D] << 8;
  const uint32_t firstSection = pe + 24 + (image[pe + 20] | image[pe + 21] << 8);
  struct Case {
    const char *what;
    size_t offset;
    uint8_t value;
    const char *message;
  } cases[] = {
      {"DOS magic", 0, 'X', "no MZ header"},
      {"PE signature", pe, 'X', "no PE signature"},
      {"machine", pe + 4, 0x4C, "not an x86-64 image"},
      {"optional magic", pe + 25, 0x01, "not a PE32+ image"},  // 0x10B: PE32
      {"subsystem", pe + 24 + 0x44, 10, "not a UEFI driver image"},
      {"PE offset", 0x3C, 0xF0, "no PE signature"},
      {"section data", firstSection + 20 + 3, 0x7F, "a section lies outside the file"},
      // Loadable, but without a property of the module's image.
      {"runtime driver", pe + 24 + 0x44, 12, "property of the module's image: not a boot-service driver"},
      {"relocations stripped", pe + 22, static_cast<uint8_t>(image[pe + 22] | 0x01), "no base relocations"},
      {"DYNAMIC_BASE", pe + 24 + 70, 0x00, "not marked relocatable"},
      {"import table", pe + 24 + 112 + 8 + 4, 0x28, "an import table"},
      {"section alignment 0", pe + 24 + 33, 0x00, "sections not page-aligned"},
      {"section alignment 512", pe + 24 + 33, 0x02, "sections not page-aligned"},
      {"writable code", firstSection + 36 + 3, 0xE0, "a section both writable and executable"},
      {"NX_COMPAT", pe + 24 + 71, 0x00, "not NX-compatible"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bad = image;
    bad[c.offset] = c.value;
    if (std::string(c.what) == "PE offset") bad[0x3F] = 0x7F;  // far past the end
    std::string error;
    EXPECT_TRUE(packager::BuildModuleFile(bad, packager::kModuleFileGuid, packager::kModuleUiName, error).empty());
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    // The main job still loads such an image, for analysis.
    pe::Headers headers;
    if (error.find("property") != std::string::npos)
      EXPECT_EQ(pe::CheckLoadableImage(bad.data(), bad.size(), headers), nullptr);
  }
  std::string error;
  EXPECT_TRUE(packager::BuildModuleFile(image, packager::kModuleFileGuid, u"", error).empty());
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(packager::BuildVolume({Bytes{1, 2, 3}}, error).empty());
  EXPECT_NE(error.find("size field"), std::string::npos);
}

}  // namespace
