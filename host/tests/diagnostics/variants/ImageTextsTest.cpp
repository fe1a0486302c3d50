// The diagnostics' texts as the image carries them: every assertion text and
// source name of the helpers and the engine that a report from the image can
// carry, the report format, and the status table, each exactly and
// zero-terminated.  The whole-image build leaves out the checks that no path
// in the image can fail: those of 16-bit formats and output (every caller in
// the image passes 8-bit flags), the division's (every divisor is 10 or 16)
// and the unaligned reads' (the GUID pointer is tested first).  The host build
// keeps them, and the engine's and helpers' tests check their texts there.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string ReadImage() {
  std::ifstream file(VEXA_IMAGE_PATH, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void ExpectTexts(const std::string &image, const std::vector<std::string> &texts) {
  for (const std::string &text : texts) {
    EXPECT_NE(image.find(text + '\0'), std::string::npos) << "\"" << text << "\" is not in the image";
  }
}

class ImageTexts : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(image.empty()) << "no image at " << VEXA_IMAGE_PATH; }
  const std::string image = ReadImage();
};

TEST_F(ImageTexts, EngineChecks) {
  ExpectTexts(image,
              {"MdePkg/Library/BasePrintLib/PrintLibInternal", "Buffer != ((void *) 0)", "AsciiStrSize (Format) != 0",
               "(((Flags & 0x00000040) != 0)) || (AsciiStrSize (OriginalBuffer) != 0)"});
}

TEST_F(ImageTexts, HelperAndDebugLibraryChecks) {
  ExpectTexts(image,
              {"MdePkg/Library/BaseLib/String", "String != ((void *) 0)",
               "MdePkg/Library/BaseDebugLibSerialPort/DebugLib", "Format != ((void *) 0)", "ASSERT %a(%d): %a\n"});
  // With the configured bound of 0 the per-character checks are not compiled in.
  EXPECT_EQ(image.find("_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength"), std::string::npos);
}

TEST_F(ImageTexts, RenderingTexts) {
  ExpectTexts(image, {"0123456789ABCDEF", "<null string>", "<null guid>", "<null time>",
                      "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", "%02d/%02d/%04d  %02d:%02d", "%08X",
                      "Success", "Warning Buffer Too Small", "Load Error", "Media changed", "No mapping", "Time out",
                      "Reserved (29)", "Reserved (30)", "Compromised Data"});
}

}  // namespace
