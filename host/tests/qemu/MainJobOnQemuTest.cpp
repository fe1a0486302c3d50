// The main job with --qemu, as a firmware engineer runs it: a broken handler
// in real SMM is named as a finding and never exits 0.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// A copy of the image whose function `in` starts with `code` (or, with a
// `find`, where that code first lies in it), with its map beside it.
fs::path Patched(const std::string &name, const std::vector<uint8_t> &code, const char *in = "GpioUnlockSmiHandler",
                 const std::vector<uint8_t> &find = {}) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(pe::ReadImageFile(VEXA_IMAGE_PATH, bytes, error)) << error;
  pe::MapFile map;
  pe::Headers h;
  size_t at = 0;
  EXPECT_TRUE(map.Read(pe::MapPathFor(VEXA_IMAGE_PATH)));
  EXPECT_EQ(pe::Parse(bytes.data(), bytes.size(), h), nullptr);
  EXPECT_TRUE(h.FileOffset(map.Rva(in).value_or(0), static_cast<uint32_t>(code.size()), at));
  if (!find.empty()) {
    const auto found = std::search(bytes.begin() + static_cast<long>(at), bytes.end(), find.begin(), find.end());
    EXPECT_NE(found, bytes.end()) << "the code to patch is not in " << in << ": the row needs updating";
    at = static_cast<size_t>(found - bytes.begin());
  }
  std::copy(code.begin(), code.end(), bytes.begin() + static_cast<long>(at));
  const fs::path path = fs::path(testing::TempDir()) / ("qemu-job-" + name + "-" + std::to_string(getpid()) + ".efi");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  fs::copy_file(pe::MapPathFor(VEXA_IMAGE_PATH), pe::MapPathFor(path.string()), fs::copy_options::overwrite_existing);
  return path;
}

#define RELOCK 0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x80, 0x08, 0x01, 0x31, 0xC0, 0xC3  // the lock at 0x800F804C |= 1

// mov rax, [rip + gBS]; mov rax, [rax]: the handler reads the boot-services table.
std::vector<uint8_t> ReadsTheBootServicesTable() {
  pe::MapFile map;
  EXPECT_TRUE(map.Read(pe::MapPathFor(VEXA_IMAGE_PATH)));
  const uint32_t disp = map.Rva("gBS").value_or(0) - (map.Rva("GpioUnlockSmiHandler").value_or(0) + 7);
  return {0x48, 0x8B, 0x05, static_cast<uint8_t>(disp), static_cast<uint8_t>(disp >> 8), static_cast<uint8_t>(disp >> 16),
          static_cast<uint8_t>(disp >> 24), 0x48, 0x8B, 0x00, RELOCK};
}

TEST(MainJobOnQemu, NamesWhatABrokenHandlerDoesInRealSmm) {
  const struct {
    const char *name;
    std::vector<uint8_t> handler;
    int status;
    std::vector<std::string> findings;
    std::string arguments = "";               // more of the tool's options
    const char *in = "GpioUnlockSmiHandler";  // the function patched
    std::vector<uint8_t> find = {};           // where in it (default: its start)
  } cases[] = {
      {"as-built", {}, 0, {"re-locked 3, SMIs 3, faults 0, violations 0, breakpoints 0, entry status Success"}},
      {"int3", {0xCC, RELOCK}, 1, {"SMIs: breakpoints (3), counted by the guest's IDT", "re-locked 3,"}},
      {"ud2",
       {0x0F, 0x0B},
       1,
       {"SMI 1: fault (invalid instruction) at GpioUnlockSmiHandler: invalid instruction",
        "3 of 3 attempts: not re-locked: the run ended at the fault above"}},
      {"error-return",
       {0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x80, 0x08, 0x01, 0x48, 0xC7, 0xC0, 0x07, 0x00, 0x00, 0x80, 0xC3},
       1,
       {"SMI 1: fault (handler status): the handler returned 0xFFFFFFFF80000007 instead of EFI_SUCCESS (and in 2 more",
        "re-locked 3,", "faults 3,"}},
      {"fails-after-registering",
       {0x90, 0x90, 0x90},
       1,
       {"boot: fault (entry status): the entry failed (0x8000000000000003) after registering its handler: the "
        "handler stays registered",
        "re-locked 3,"},
       "",
       "VexaGpioUnlockSmmEntry",
       {0x48, 0x89, 0xC6, 0x48, 0x85, 0xC0}},
      // Escapes the SMM page tables stop, named as the simulator names them.
      {"reads-boot-services",
       ReadsTheBootServicesTable(),
       1,
       {"SMI 1: violation (boot-services pointer) at GpioUnlockSmiHandler+0x7: handler read the boot-services tables",
        "violations 1,"}},  // the guest's report after the fault is no access of the handler's
      {"reads-address-0-at-boot",
       {0x8B, 0x04, 0x25, 0x00, 0x00, 0x00, 0x00},  // mov eax, [0]
       1,
       {"boot: fault at ModuleEntryPoint: read of unmapped address 0x0"},
       "",
       "ModuleEntryPoint"},
      {"writes-far-outside-at-boot",
       {0x48, 0xB8, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0xC6, 0x00, 0x01},  // mov byte [0x10000000], 1
       1,
       {"boot: fault at ModuleEntryPoint+0xA: write to unmapped address 0x10000000"},
       "",
       "ModuleEntryPoint"},
      {"writes-its-own-code",
       {0x48, 0x8D, 0x05, 0xF9, 0xFF, 0xFF, 0xFF, 0xC6, 0x00, 0x90, RELOCK},  // lea rax, [rip - 7]; mov byte [rax], 0x90
       1,
       {"SMI 1: violation (data) at GpioUnlockSmiHandler+0x7: write to read-only memory at 0x"}},
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
      {"eight CPUs",
       {},
       0,
       {"== 8 CPUs in SMM at SMBASE 0x1ff00000,0x1ff00400,0x1ff00800,0x1ff00c00,0x1ff01000,0x1ff01400,0x1ff01800,"
        "0x1ff01c00 (one each); SMIs since broadcast 7, every CPU in for 7; SMM entries per CPU 7,7,7,7,7,7,7,7,"},
       " --cpus 8"},
      // Escapes only QEMU's log of device accesses shows, named as the simulator names them.
      {"or-0xff",
       {0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x80, 0x08, 0xFF, 0x31, 0xC0, 0xC3},
       1,
       {"SMI 1: violation (lock value): handler wrote 0xFF to the lock register, which read 0x", "re-locked 3,"}},
      {"or-0x03", {0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x80, 0x08, 0x03, 0x31, 0xC0, 0xC3}, 1, {"SMI 1: violation (lock value)"}},
      {"port-0x80",
       {0xB0, 0x55, 0xE6, 0x80, RELOCK},  // mov al, 0x55; out 0x80, al
       1,
       {"SMI 1: violation (port): handler wrote port 0x80", "violations 6,", "re-locked 3,"}},  // CPU 1 clears 3 times too
      {"port-0xcf8",
       {0x31, 0xC0, 0x66, 0xBA, 0xF8, 0x0C, 0xEF, RELOCK},  // xor eax, eax; mov dx, 0xCF8; out dx, eax
       1,
       {"SMI 1: violation (port): handler wrote port 0xCF8"}},
      {"16-bit-lock-write",
       {0xB8, 0x4C, 0x80, 0x0F, 0x80, 0x66, 0x83, 0x08, 0x01, 0x31, 0xC0, 0xC3},  // or word [rax], 1
       1,
       {"SMI 1: violation (data): handler read 2 bytes at 0x800F804C", "handler wrote 2 bytes at 0x800F804C"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image =
        c.handler.empty() ? std::string(VEXA_IMAGE_PATH) : Patched(c.name, c.handler, c.in, c.find).string();
    const testsupport::Outcome run = testsupport::Shell(testsupport::Quote(VEXA_PLATFORM_TOOL) +
                                                        " --qemu --attempts 3 --image " + testsupport::Quote(image) +
                                                        c.arguments);
    EXPECT_EQ(run.status, c.status) << run.output;
    for (const std::string &finding : c.findings) EXPECT_NE(run.output.find(finding), std::string::npos) << run.output;
  }
}

}  // namespace
