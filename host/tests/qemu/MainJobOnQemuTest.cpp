// The main job with --qemu, as a firmware engineer runs it: a broken handler
// in real SMM is named as a finding and never exits 0.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// A copy of the image whose handler starts with `code`, with its map beside it.
fs::path Patched(const std::string &name, const std::vector<uint8_t> &code) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(pe::ReadImageFile(VEXA_IMAGE_PATH, bytes, error)) << error;
  pe::MapFile map;
  pe::Headers h;
  size_t at = 0;
  EXPECT_TRUE(map.Read(pe::MapPathFor(VEXA_IMAGE_PATH)));
  EXPECT_EQ(pe::Parse(bytes.data(), bytes.size(), h), nullptr);
  EXPECT_TRUE(h.FileOffset(map.Rva("GpioUnlockSmiHandler").value_or(0), static_cast<uint32_t>(code.size()), at));
  std::copy(code.begin(), code.end(), bytes.begin() + static_cast<long>(at));
  const fs::path path = fs::path(testing::TempDir()) / ("qemu-job-" + name + "-" + std::to_string(getpid()) + ".efi");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  fs::copy_file(pe::MapPathFor(VEXA_IMAGE_PATH), pe::MapPathFor(path.string()), fs::copy_options::overwrite_existing);
  return path;
}

#define RELOCK 0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x80, 0x08, 0x01, 0x31, 0xC0, 0xC3  // the lock at 0x800F804C |= 1

TEST(MainJobOnQemu, NamesWhatABrokenHandlerDoesInRealSmm) {
  const struct {
    const char *name;
    std::vector<uint8_t> handler;
    int status;
    std::vector<std::string> findings;
    std::string arguments = "";
  } cases[] = {
      {"as-built", {}, 0, {"re-locked 3, SMIs 3, faults 0, violations 0, breakpoints 0, entry status Success"}},
      {"int3", {0xCC, RELOCK}, 1, {"SMIs: breakpoints (3), counted by the guest's IDT", "re-locked 3,"}},
      {"ud2",
       {0x0F, 0x0B},
       1,
       {"SMI 1: fault at GpioUnlockSmiHandler: exception 6 in SMM",
        "3 of 3 attempts: not re-locked: the run ended at the fault above"}},
      {"forgets-to-relock",
       {0x31, 0xC0, 0xC3},  // xor eax, eax; ret
       1,
       {"3 of 3 attempts: not re-locked: the handler returned without setting the lock again", "re-locked 0,",
        "CPU 1: 3 of 3 clears not re-locked"}},
      {"four CPUs",
       {},
       0,
       {"== 4 CPUs in SMM at SMBASE 0x1ff00000,0x1ff00400,0x1ff00800,0x1ff00c00 (one each); SMIs since broadcast 7, "
        "every CPU in for 7;",
        "== CPU 1 attacks while CPU 0 is busy: 3 clears, 3 re-locked;", "re-locked 3, SMIs 3, faults 0"},
       " --cpus 4"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = c.handler.empty() ? std::string(VEXA_IMAGE_PATH) : Patched(c.name, c.handler).string();
    const testsupport::Outcome run = testsupport::Shell(testsupport::Quote(VEXA_PLATFORM_TOOL) +
                                                        " --qemu --attempts 3 --image " + testsupport::Quote(image) +
                                                        c.arguments);
    EXPECT_EQ(run.status, c.status) << run.output;
    for (const std::string &finding : c.findings) EXPECT_NE(run.output.find(finding), std::string::npos) << run.output;
  }
}

}  // namespace
