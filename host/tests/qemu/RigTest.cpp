// The rig's own parts, without QEMU's help: QEMU's trace log cut to the
// driver's windows, and a QEMU that hangs, dies or is missing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "qemu/QemuRun.h"
#include "support/TestSupport.h"

namespace {

TEST(QemuRig, TraceKeepsOnlyTheDriversWindowsWithAbsoluteAddressesAndNames) {
  const std::string log =
      "memory_region_ops_write cpu 0 mr 0x5 addr 0x3f8 value 0x41 size 1 name 'serial'\n"  // before the entry
      "memory_region_ops_write cpu 0 mr 0x5 addr 0x80 value 0xe1 size 1 name 'ioport80'\n"
      "memory_region_ops_write cpu 0 mr 0x5 addr 0xcf8 value 0x8000f880 size 4 name 'pci-conf-idx'\n"
      "memory_region_ops_read cpu 0 mr 0x5 addr 0x371 value 0xffffffffffffffff size 1 name 'io'\n"
      "memory_region_ops_read cpu 0 mr 0x5 addr 0x3fd value 0x60 size 1 name 'serial'\n"
      "memory_region_ops_read cpu 1 mr 0x5 addr 0x800f804c value 0x0 size 1 name 'pcie-mmcfg-mmio'\n"  // not the driver
      "some other line\n"
      "memory_region_ops_write cpu 0 mr 0x5 addr 0x80 value 0xe2 size 1 name 'ioport80'\n"
      "memory_region_ops_write cpu 0 mr 0x5 addr 0xb2 value 0x30 size 1 name 'apm-io'\n"  // the attacker
      "memory_region_ops_write cpu 0 mr 0x5 addr 0x80 value 0xe3 size 1 name 'ioport80'\n"
      "memory_region_ops_read cpu 0 mr 0x5 addr 0x800f804c value 0x1 size 1 name 'pcie-mmcfg-mmio'\n"
      "memory_region_ops_write cpu 0 mr 0x5 addr 0x80 value 0xe4 size 1 name 'ioport80'\n";
  std::vector<sim::Access> boot;
  std::vector<std::vector<sim::Access>> smis;
  size_t events = 0;
  qemu::ParseTrace(log, boot, smis, events);
  EXPECT_EQ(events, 11u);
  EXPECT_TRUE(
      testsupport::TraceIs(boot, {sim::IoW32(0xCF8, 0x8000F880), sim::IoR8(0x371, 0xFF), sim::IoR8(0x3FD, 0x60)}));
  ASSERT_EQ(boot.size(), 3u);
  EXPECT_EQ(std::string(boot[0].device->Name()) + "." + boot[0].reg, "PCICFG.ADDRESS");
  EXPECT_EQ(boot[1].device, nullptr);
  EXPECT_EQ(boot[2].reg, "LSR");
  ASSERT_EQ(smis.size(), 1u);
  EXPECT_TRUE(testsupport::TraceIs(smis[0], {sim::MemR8(0x800F804C, 0x01)}));
}

TEST(QemuRig, SmmEntriesAreTheBlocksRunInSmmAtTheirCodeBasePlus0x8000PerCpu) {
  const std::string log =
      "Trace 0: 0x7f00 [000000001ff00000/000000001ff08000/00080040/ff080000] \n"
      "Trace 0: 0x7f40 [000000001ff00000/000000001ff08015/000800c0/ff080000] \n"  // the entry's second block
      "Linking TBs 0x7f00 index 0 -> 0x7f40\n"
      "Trace 1: 0x7f80 [000000001ff00400/000000001ff08400/00080040/ff080000] \n"
      "Trace 1: 0x7fc0 [0000000000030000/0000000000038000/00000040/ff080000] \n"  // not in SMM
      "Trace 1: 0x7f80 [000000001ff00400/000000001ff08400/00080040/ff080000] \n";
  const std::map<int, std::vector<uint64_t>> expected = {{0, {0x1FF00000}}, {1, {0x1FF00400, 0x1FF00400}}};
  EXPECT_EQ(qemu::ParseSmmEntries(log), expected);
}

std::string Script(const std::string &name, const std::string &body) {
  const std::string path = testing::TempDir() + "/" + name + "-" + std::to_string(getpid());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
  return path;
}

TEST(QemuRig, AQemuThatHangsDiesOrIsMissingGivesADefinedEnd) {
  const struct {
    const char *name;
    std::string qemu;
    qemu::Outcome::End end;
    const char *fault;
  } rows[] = {
      {"hangs", Script("hangs.sh", "exec sleep 30"), qemu::Outcome::End::TimedOut, "within 0.5 s and was killed"},
      {"ends at once", Script("resets.sh", "exit 0"), qemu::Outcome::End::Crashed,
       "QEMU ended (exit status 0) before the guest reported anything"},
      {"fails", Script("fails.sh", "echo no such machine >&2; exit 1"), qemu::Outcome::End::Crashed, "no such machine"},
      {"missing", "/nonexistent/qemu", qemu::Outcome::End::NotRun, "cannot run QEMU"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    qemu::Settings s;
    s.loadDriver = false;
    s.qemuPath = r.qemu;
    s.timeoutSeconds = 0.5;
    const qemu::Outcome o = qemu::Run(s);
    EXPECT_EQ(o.end, r.end) << qemu::EndName(o.end);
    EXPECT_NE(o.fault.find(r.fault), std::string::npos) << o.fault;
    EXPECT_LT(o.wallSeconds, 5.0);
  }
}

}  // namespace
