// gdb in batch mode on the QEMU platform: the image's debug companion loaded
// where the guest loaded the image in SMRAM, breakpoints by the driver's own
// function names and source lines, stopped in SMM (as QEMU tells it).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qemu/GdbSession.h"
#include "qemu/QemuRun.h"

namespace {

// The number of the handler's source line that holds `text`.
std::string LineOf(const std::string &text) {
  std::ifstream in(VEXA_SOURCE_ROOT "/Feature/VexaGpioUnlockSmm/VexaGpioUnlockSmm.cpp");
  std::string line;
  for (int n = 1; std::getline(in, line); ++n)
    if (line.find(text) != std::string::npos) return std::to_string(n);
  return "?";
}

}  // namespace

TEST(GdbOnQemu, StopsAtTheDriversOwnSourceInSmmAndTheRunGoesOn) {
  const std::string read = LineOf("MmioRead8(Address)"), write = LineOf("MmioOr8(Address");
  const std::string lock = "x/bx PcdPciExpressBaseAddress + 0xF804C";  // the lock, through the window
  const struct {
    std::string breakAt;
    std::vector<std::string> atStop, expected;  // expected: in this order in gdb's output
  } rows[] = {
      // At the read of the lock, cleared by the attacker; the next line is the
      // write, and after it bit 0 is set again.
      {"VexaGpioUnlockSmm.cpp:" + read,
       {"monitor info registers", lock, "next", lock, "next", lock},
       {"Breakpoint 2, GpioUnlockSmiHandler (", "/Feature/VexaGpioUnlockSmm/VexaGpioUnlockSmm.cpp:" + read + "\n",
        " SMM=1 ", ":\t0x00", "\n" + write + "\t", "MmioOr8(Address, GPIO_LOCK_BIT);\n", ":\t0x00", ":\t0x01\n"}},
      // At load, inside the SMI that loads it; in a constructor the whole-image
      // build inlined, named by its source name.
      {"ModuleEntryPoint",
       {"monitor info registers"},
       {"Breakpoint 2, ModuleEntryPoint (", "DriverEntryPoint.cpp:", " SMM=1 "}},
      {"UefiBootServicesTableLibConstructor",
       {"monitor info registers"},
       {"Breakpoint 2, UefiBootServicesTableLibConstructor (", "UefiBootServicesTableLib.cpp:", " SMM=1 "}},
  };
  for (const auto &row : rows) {
    qemu::Settings s;
    s.imagePath = VEXA_IMAGE_PATH;
    s.attempts = 2;
    s.gdb = qemu::Settings::Gdb::Batch;
    s.breakAt = row.breakAt;
    s.atStop = row.atStop;
    const qemu::Outcome o = qemu::Run(s);
    ASSERT_EQ(o.end, qemu::Outcome::End::Passed) << row.breakAt << ": " << o.fault << "\n" << o.gdbLog;
    EXPECT_EQ(o.Number(report::Attack::kRelocked), 2u) << row.breakAt;
    // Symbols at the address the guest reports for the image.
    size_t at = o.gdbLog.find("== image loaded in SMRAM at " + o.Text(report::Image::kBase) + ";");
    EXPECT_NE(at, std::string::npos) << o.gdbLog;
    for (const std::string &text : row.expected) {
      at = o.gdbLog.find(text, at == std::string::npos ? 0 : at);
      ASSERT_NE(at, std::string::npos) << row.breakAt << ": no '" << text << "' in its place in\n" << o.gdbLog;
      at += text.size();
    }
  }
}

// Symbols from another build of the image (here: another board's, whose
// settings in .data differ) are refused before QEMU starts.
TEST(GdbOnQemu, RefusesACompanionThatDoesNotHoldTheImage) {
  namespace fs = std::filesystem;
  const fs::path image = fs::path(testing::TempDir()) / ("gdb-mismatch-" + std::to_string(getpid()) + ".efi");
  fs::copy_file(VEXA_IMAGE_PATH, image, fs::copy_options::overwrite_existing);
  fs::copy_file(qemu::DebugCompanionFor(VEXA_BOARD_WINDOW_IMAGE), qemu::DebugCompanionFor(image.string()),
                fs::copy_options::overwrite_existing);
  qemu::Settings s;
  s.imagePath = image.string();
  s.gdb = qemu::Settings::Gdb::Batch;
  const qemu::Outcome o = qemu::Run(s);
  EXPECT_EQ(o.end, qemu::Outcome::End::NotRun);
  EXPECT_NE(o.fault.find("does not hold"), std::string::npos) << o.fault;
}
