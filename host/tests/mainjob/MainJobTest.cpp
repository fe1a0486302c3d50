// The main job as a firmware engineer runs it: a broken handler is named as a
// finding and never exits 0; bad input gets a message and its exit status.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "support/TestSupport.h"
#include "tools/platform/Options.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class MainJob : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vexa_mainjob_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::string error;
    ASSERT_TRUE(pe::ReadImageFile(VEXA_IMAGE_PATH, image_, error)) << error;
    ASSERT_TRUE(map_.Read(pe::MapPathFor(VEXA_IMAGE_PATH))) << map_.Error();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A copy of the image whose handler starts with `code`, with its map beside
  // it; with a `find`, the first `find` in the function `in` becomes `code`.
  fs::path Patched(const std::string &name, const Bytes &code, const Bytes &find = {},
                   const char *in = "GpioUnlockSmiHandler") {
    pe::Headers h;
    EXPECT_EQ(pe::Parse(image_.data(), image_.size(), h), nullptr);
    size_t at = 0;
    EXPECT_TRUE(h.FileOffset(map_.Rva(in).value(), static_cast<uint32_t>(code.size()), at));
    Bytes bytes = image_;
    if (!find.empty()) {
      const auto found = std::search(bytes.begin() + static_cast<long>(at), bytes.end(), find.begin(), find.end());
      EXPECT_NE(found, bytes.end()) << "the code to patch is not in " << in << ": the row needs updating";
      at = static_cast<size_t>(found - bytes.begin());
    }
    std::copy(code.begin(), code.end(), bytes.begin() + static_cast<long>(at));
    const fs::path path = dir_ / (name + ".efi");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fs::copy_file(pe::MapPathFor(VEXA_IMAGE_PATH), pe::MapPathFor(path.string()));
    return path;
  }
  testsupport::Outcome Tool(const std::string &arguments) {
    return testsupport::Shell(testsupport::Quote(VEXA_PLATFORM_TOOL) + " " + arguments);
  }

  fs::path dir_;
  Bytes image_;
  pe::MapFile map_;
};

// The lock register's address, for handlers written here: 0x800F804C.
#define LOCK_ADDRESS 0x4C, 0x80, 0x0F, 0x80
#define RELOCK \
  0xB8, LOCK_ADDRESS, 0x80, 0x08, 0x01, 0x31, 0xC0, 0xC3  // mov eax, lock; or byte [rax], 1; xor eax, eax; ret

#define LOCK_OR(bits) 0xB8, LOCK_ADDRESS, 0x80, 0x08, bits  // mov eax, lock; or byte [rax], bits

TEST_F(MainJob, NamesWhatABrokenHandlerDoes) {
  struct Case {
    const char *name;
    Bytes handler;
    std::vector<std::string> findings;
    Bytes find = {};  // patch this code in the entry instead of the handler's start
  } cases[] = {
      {"or-0xff",
       {LOCK_OR(0xFF), 0x31, 0xC0, 0xC3},
       {"SMI 1: violation (lock value) at GpioUnlockSmiHandler+0x5: handler wrote 0xFF to the lock register, which "
        "read 0x",
        "re-locked 3,"}},
      {"or-0x03", {LOCK_OR(0x03), 0x31, 0xC0, 0xC3}, {"SMI 1: violation (lock value)", "violations 1,"}},
      {"error-return",
       {LOCK_OR(0x01), 0x48, 0xC7, 0xC0, 0x07, 0x00, 0x00, 0x80, 0xC3},  // mov rax, 0xFFFFFFFF80000007
       {"SMI 1: fault (handler status) at GpioUnlockSmiHandler: the handler returned 0xFFFFFFFF80000007 instead",
        "re-locked 3,", "faults 3,"}},
      {"fails-after-registering",
       {0x90, 0x90, 0x90},  // the entry keeps its initial EFI_UNSUPPORTED after Register succeeded
       {"boot: fault (entry status): the entry failed (0x8000000000000003) after registering its handler: the "
        "handler stays registered",
        "re-locked 3,"},
       {0x48, 0x89, 0xC6, 0x48, 0x85, 0xC0}},  // after Register: mov rsi, rax; test rax, rax
      {"breakpoint-storm",
       {0xCC, 0xEB, 0xFD},  // int3; jmp back to it
       {"SMI 1: fault (breakpoint storm) at GpioUnlockSmiHandler+0x1: 1000 breakpoints at one address",
        "attempt 1: not re-locked: the handler was stopped"}},
      {"ud2", {0x0F, 0x0B}, {"SMI 1: fault (invalid instruction) at GpioUnlockSmiHandler: invalid instruction"}},
      {"hlt", {0xF4}, {"SMI 1: fault (halt) at GpioUnlockSmiHandler: the code halted"}},
      {"int3", {0xCC, RELOCK}, {"SMI 1: breakpoint at GpioUnlockSmiHandler+0x1", "breakpoints 3,"}},
      {"endless-loop",
       {0xEB, 0xFE},
       {"SMI 1: fault at GpioUnlockSmiHandler: instruction budget of 100000 exhausted",
        "attempt 1: not re-locked: the handler was stopped: instruction budget",
        "attempt 2: not re-locked: the lock was already clear", "re-locked 0, SMIs 1, faults 1,"}},
      {"port-write",
       {0xB0, 0x55, 0xE6, 0x80, RELOCK},  // mov al, 0x55; out 0x80, al
       {"SMI 1: violation (port) at GpioUnlockSmiHandler+0x2: handler wrote port 0x80", "re-locked 3,",
        "violations 3,"}},
      {"memory-write",
       {0xB8, 0x00, 0x00, 0x10, 0x00, 0xC6, 0x00, 0x01, RELOCK},  // mov eax, 0x100000; mov byte [rax], 1
       {"SMI 1: violation (data) at GpioUnlockSmiHandler+0x5: handler wrote 1 bytes at 0x100000", "violations 3,"}},
      {"forgets-to-relock",
       {0x31, 0xC0, 0xC3},  // xor eax, eax; ret
       {"attempt 1: not re-locked: the handler returned without setting the lock again", "re-locked 0,"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path image = c.find.empty() ? Patched(c.name, c.handler)
                                          : Patched(c.name, c.handler, c.find, "VexaGpioUnlockSmmEntry");
    const testsupport::Outcome run = Tool("--attempts 3 --image " + testsupport::Quote(image));
    EXPECT_EQ(run.status, 1) << run.output;
    for (const std::string &finding : c.findings) EXPECT_NE(run.output.find(finding), std::string::npos) << run.output;
  }
}

TEST_F(MainJob, AnswersBadInputAndAwkwardPathsClearly) {
  const fs::path noMap = dir_ / "no-map.efi";
  fs::copy_file(VEXA_IMAGE_PATH, noMap);
  fs::create_directories(dir_ / "a.b");
  const fs::path dotted = dir_ / "a.b" / "driver";  // the map is driver.map, not a.map
  fs::copy_file(VEXA_IMAGE_PATH, dotted);
  fs::copy_file(pe::MapPathFor(VEXA_IMAGE_PATH), dir_ / "a.b" / "driver.map");
  // The image with its first section (code) made writable too: it loads and runs, named for what it lacks.
  Bytes writableCode = image_;
  const size_t pe = writableCode[0x3C] | writableCode[0x3D] << 8;
  writableCode[pe + 24 + (writableCode[pe + 20] | writableCode[pe + 21] << 8) + 36 + 3] |= 0x80;
  const fs::path wx = dir_ / "wx.efi";
  std::ofstream(wx, std::ios::binary)
      .write(reinterpret_cast<const char *>(writableCode.data()), static_cast<std::streamsize>(writableCode.size()));
  // Maps that are there but no use, each beside a good image; and files that are no driver image.
  for (const char *name : {"empty", "folder", "text"}) fs::copy_file(VEXA_IMAGE_PATH, dir_ / (name + std::string(".efi")));
  std::ofstream(dir_ / "empty.map").flush();
  fs::create_directories(dir_ / "folder.map");
  std::ofstream(dir_ / "text.map") << "not a linker map\n";
  std::ofstream(dir_ / "zeros.efi").write(std::string(4096, '\0').data(), 4096);
  const auto mapRun = [&](const char *name) { return "--print-level 0x40 --image " + testsupport::Quote(dir_ / name); };
  struct Case {
    std::string arguments;
    int status;
    const char *output;
  } cases[] = {
      {mapRun("empty.efi"), 3, "empty.map is empty"},
      {mapRun("folder.efi"), 3, "folder.map is a folder, not a linker map"},
      {mapRun("text.efi"), 3, "text.map is not a linker map"},
      {"--about --image " + testsupport::Quote(dir_ / "zeros.efi"), 3, "bad image"},
      {"--about --image /bin/sh", 3, "bad image"},
      {"--qemu --image " + testsupport::Quote(VEXA_PCI_BOARD_IMAGE), 3, "QEMU's q35 machine has no such device"},
      {"--image " + testsupport::Quote(dir_), 3, "is a folder, not a file"},
      {"--image ''", 2, "--image needs a path"},
      {"--attempts 010", 0, "summary: attempts 10, re-locked 10,"},
      {"--attempts 0x10", 0, "summary: attempts 16,"},
      {"--attempts 1e3", 2, "--attempts takes"},
      {"--qemu --cpus 9", 2, "--cpus takes a CPU count from 1 to 8, not '9'"},
      {"--qemu --cpus 0", 2, "--cpus takes a CPU count from 1 to 8, not '0'"},
      {"--cpus 2", 2, "--cpus applies to --qemu only"},
      {"--print-level 0x40 --image " + testsupport::Quote(noMap), 3, "no-map.map is missing"},
      // Level 0 is a level like any other: set through the map, not "keep the image's".
      {"--print-level 0 --image " + testsupport::Quote(noMap), 3, "no-map.map is missing"},
      {"--attempts 1 --image " + testsupport::Quote(noMap), 0, "summary: attempts 1, re-locked 1,"},
      {"--print-level 0x40 --attempts 1 --image " + testsupport::Quote(dotted), 0, "Start\n"},
      {"--dead-uart --attempts 1", 1,
       "boot: breakpoint at CpuBreakpoint+0x1: ASSERT AutoGen(40): !EFI_ERROR (Status)\n"},
      {"--missing smm-base2 --print-level 0x80000000 --attempts 1", 1, "ASSERT_EFI_ERROR (Status = Not Found)"},
      // An entry that fails is never a defended run, with or without attempts.
      {"--missing dispatcher --attempts 0", 1, "entry status Not Found"},
      {"--missing dispatcher --attempts 1", 1,
       "attempt 1: not re-locked: the SMI reached no handler: none was registered\n"},
      // Every image says which board it was built for, and runs on a platform laid out as that board is.
      {"--about", 0, "  Board                         default\n"},
      {"--about --image " + testsupport::Quote(VEXA_PCI_BOARD_IMAGE), 0,
       "  SerialPciDeviceInfo           28 0 0x44, 0 0 0x44, END\n"},
      {"--print-level 0x40 --attempts 2 --image " + testsupport::Quote(VEXA_PCI_BOARD_IMAGE), 0,
       "(board example-pci-uart)\n== serial console at memory 0xFE000000"},
      {"--superio 0x01,0x00 --image " + testsupport::Quote(VEXA_PCI_BOARD_IMAGE), 2,
       "board example-pci-uart has no Super I/O"},
      {"--attempts 2 --image " + testsupport::Quote(wx), 0,
       "lacks a property of the module's image (vexa-ffs refuses it): a section both writable and executable"},
      // Options that cannot go together, and one that is run.sh's.
      {"--host --image " + testsupport::Quote(VEXA_IMAGE_PATH), 2, "--image does not apply"},
      {"--about --qemu", 2, "leave out --qemu"},
      {"--board boards/default.board", 2, "run scripts/run.sh --board FILE"},
      {"--help", 0, "  --board FILE "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    const testsupport::Outcome run = Tool(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.output), std::string::npos) << run.output;
  }
}

// Each number's range, accepted and refused at both ends, in both notations.
TEST(Options, NumbersAreTakenUpToEachEndOfTheirRange) {
  const struct {
    std::vector<std::string> args;
    const char *parsed;  // null: refused
  } cases[] = {
      {{"--attempts", "0"}, "attempts 0,"},
      {{"--attempts", "1000000"}, "attempts 1000000,"},
      {{"--attempts", "0xf4240"}, "attempts 1000000,"},
      {{"--attempts", "1000001"}, nullptr},
      {{"--attempts", "0xF4241"}, nullptr},
      {{"--cmos", "0"}, "cmos 0x00,"},
      {{"--cmos", "0xff"}, "cmos 0xFF,"},
      {{"--cmos", "255"}, "cmos 0xFF,"},
      {{"--cmos", "0x100"}, nullptr},
      {{"--print-level", "0xFFFFFFFF"}, "level 0xFFFFFFFF,"},
      {{"--print-level", "4294967296"}, nullptr},
      {{"--superio", "0x01,0x02"}, "superio 0x01,0x02"},
      {{"--superio", "0,0xFF"}, "superio 0x00,0xFF"},
      {{"--superio", "0x100,0"}, nullptr},
      {{"--superio", "0,256"}, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::string error;
    const std::optional<tool::Options> o = tool::ParseOptions(c.args, error);
    ASSERT_EQ(o.has_value(), c.parsed != nullptr) << error;
    if (!o) {
      EXPECT_EQ(error.find(c.args[0]), 0u) << error;
      continue;
    }
    char text[128];
    std::snprintf(text, sizeof text, "attempts %d, cmos 0x%02X, level 0x%X, superio 0x%02X,0x%02X", o->attempts,
                  o->cmos.value_or(0), o->printLevel.value_or(0), o->superIoDevice2, o->superIoDevice3);
    EXPECT_NE(std::string(text).find(c.parsed), std::string::npos) << text;
  }
}

}  // namespace
