// Several CPUs in SMM on QEMU's q35 machine: every CPU's SMBASE in TSEG, as
// QEMU's own log shows where each CPU enters SMM; every SMI brings every CPU
// in and the handler runs once; CPU 1's clears are each re-locked; and the
// driver's boot, console and verdict are the same as with one CPU.

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "qemu/QemuRun.h"
#include "qemu/guest/both/Layout.h"
#include "support/TestSupport.h"

namespace {

using namespace report;

std::vector<uint64_t> List(const std::string &text) {
  std::vector<uint64_t> values;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) values.push_back(std::stoull(item, nullptr, 0));
  return values;
}

// One run each with 1, 2 and 4 CPUs: 20 clears from CPU 0, 1,000 from CPU 1,
// with the driver's messages, its register trace and QEMU's SMM entries.
class QemuMp : public testing::Test {
 protected:
  static constexpr int kCpu0Attempts = 20, kCpu1Attempts = 1000;
  static void SetUpTestSuite() {
    for (int cpus : {1, 2, 4}) {
      qemu::Settings s;
      s.imagePath = VEXA_IMAGE_PATH;
      s.cpus = cpus;
      s.attempts = kCpu0Attempts;
      s.cpu1Attempts = cpus > 1 ? kCpu1Attempts : 0;
      s.printLevel = 0x40;
      s.trace = true;
      s.smmEntries = true;
      s.timeoutSeconds = 60;
      runs[cpus] = new qemu::Outcome(qemu::Run(s));
    }
  }
  static void TearDownTestSuite() {
    for (auto &[cpus, run] : runs) delete run;
  }
  static std::map<int, qemu::Outcome *> runs;
};
std::map<int, qemu::Outcome *> QemuMp::runs;

TEST_F(QemuMp, EveryCpusSmbaseIsItsOwnInTsegAndEverySmiBringsEveryCpuIn) {
  for (int cpus : {2, 4}) {
    SCOPED_TRACE(std::to_string(cpus) + " CPUs");
    const qemu::Outcome &o = *runs[cpus];
    ASSERT_EQ(o.end, qemu::Outcome::End::Passed) << o.fault << "\n" << o.report;
    const uint64_t smis = kCpu0Attempts + kCpu1Attempts + 1;  // and the driver's load
    EXPECT_EQ(o.Number(Rendezvous::kSmis), smis);
    EXPECT_EQ(o.Number(Rendezvous::kComplete), smis);
    EXPECT_EQ(o.Number(Rendezvous::kSmstCpus), static_cast<uint64_t>(cpus));
    // Broadcast negotiated through fw_cfg; each CPU moved from where QEMU's
    // BIOS left it (ASEG for CPU 0, the power-on SMBASE for the others).
    EXPECT_EQ(o.Number(Mp::kStarted), static_cast<uint64_t>(cpus));
    EXPECT_EQ(o.Number(Mp::kSupportedFeatures).value_or(0) & 1, 1u);
    EXPECT_EQ(o.Number(Mp::kRequestedFeatures), 1u);
    EXPECT_EQ(o.Number(Mp::kFeaturesOk), 1u);
    const std::vector<uint64_t> movedFrom = List(o.Text(Smbase::kMovedFrom));
    EXPECT_EQ(movedFrom, (cpus == 2 ? std::vector<uint64_t>{0xA0000, 0x30000}
                                    : std::vector<uint64_t>{0xA0000, 0x30000, 0x30000, 0x30000}));
    // QEMU's log: each CPU enters SMM only at its own SMBASE + 0x8000, in
    // TSEG, once per SMI at least; the guest read the same SMBASEs.
    ASSERT_EQ(o.smmEntryBases.size(), static_cast<size_t>(cpus));
    std::set<uint64_t> distinct;
    const std::vector<uint64_t> reported = List(o.Text(Smbase::kCpus)), arrivals = List(o.Text(Rendezvous::kArrivals));
    for (const auto &[cpu, bases] : o.smmEntryBases) {
      SCOPED_TRACE("CPU " + std::to_string(cpu));
      const std::set<uint64_t> own(bases.begin(), bases.end());
      ASSERT_EQ(own.size(), 1u);
      const uint64_t smbase = *own.begin();
      EXPECT_GE(smbase, uint64_t{TSEG_BASE});
      EXPECT_LE(smbase + 0x10000, uint64_t{TSEG_BASE + TSEG_SIZE});
      EXPECT_EQ(reported.at(static_cast<size_t>(cpu)), smbase);
      EXPECT_GE(bases.size(), smis);
      EXPECT_EQ(arrivals.at(static_cast<size_t>(cpu)), smis);
      distinct.insert(smbase);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(cpus));
    // The handler once per SMI, from whichever CPU raised it; CPU 1's clears
    // are each re-locked while CPU 0 keeps busy.
    EXPECT_EQ(o.Number(Attack::kHandlerCalls), uint64_t{kCpu0Attempts});
    EXPECT_EQ(o.Number(Cpu1::kSmis), uint64_t{kCpu1Attempts});
    EXPECT_EQ(o.Number(Cpu1::kHandlerCalls), uint64_t{kCpu1Attempts});
    EXPECT_EQ(o.Number(Cpu1::kRelocked), uint64_t{kCpu1Attempts});
    EXPECT_GT(o.Number(Cpu1::kCpu0Busy).value_or(0), 0u);
    uint64_t dispatched = 0;
    for (uint64_t d : List(o.Text(Rendezvous::kDispatched))) dispatched += d;
    EXPECT_EQ(dispatched, smis + static_cast<uint64_t>(cpus) + 1);  // and each CPU's probe, and the one before broadcast
    RecordProperty("race_window_" + std::to_string(cpus) + "_cpus", o.Text(Cpu1::kClearReads));
  }
}

TEST_F(QemuMp, BootTraceConsoleAndVerdictAreThoseOfOneCpu) {
  const qemu::Outcome &one = *runs[1];
  ASSERT_EQ(one.end, qemu::Outcome::End::Passed) << one.fault << "\n" << one.report;
  ASSERT_GT(one.bootTrace.size(), 40u);
  for (int cpus : {2, 4}) {
    SCOPED_TRACE(std::to_string(cpus) + " CPUs");
    const qemu::Outcome &o = *runs[cpus];
    EXPECT_EQ(o.end, one.end) << o.fault;
    EXPECT_EQ(o.console, one.console);
    EXPECT_TRUE(testsupport::TraceIs(o.bootTrace, one.bootTrace));
    // Every SMI's handler touches the lock as with one CPU, whichever CPU raised it.
    ASSERT_EQ(o.smiTraces.size(), static_cast<size_t>(kCpu0Attempts + kCpu1Attempts));
    for (const auto &smi : o.smiTraces) EXPECT_TRUE(testsupport::TraceIs(smi, one.smiTraces.front()));
  }
}

// The faults built on purpose end in a report, never a hang: SMI broadcast
// left off (every SMI misses a CPU), and CPU 1 given CPU 0's SMBASE.
TEST(QemuMpFaults, BroadcastLeftOffOrASharedSmbaseIsReported) {
  const struct {
    const char *name;
    int fault;
    const char *check, *what;
  } rows[] = {
      {"no broadcast", 1, "cpus-missing-from-the-rendezvous", ""},
      {"shared SMBASE", 2, "", "two-cpus-share-an-smbase"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    qemu::Settings s;
    s.imagePath = VEXA_IMAGE_PATH;
    s.cpus = 2;
    s.attempts = 2;
    s.cpu1Attempts = 2;
    s.guestArguments = "mp-fault=" + std::to_string(r.fault);
    s.timeoutSeconds = 60;
    const qemu::Outcome o = qemu::Run(s);
    EXPECT_EQ(o.end, qemu::Outcome::End::Failed) << o.fault << "\n" << o.report;
    EXPECT_EQ(o.Text(MpFault::kWhat), r.what);
    if (*r.check != 0) {
      EXPECT_EQ(o.failedChecks, std::vector<std::string>{r.check});
      EXPECT_EQ(o.Number(Rendezvous::kComplete), 0u);
      EXPECT_EQ(o.Number(Rendezvous::kSmis), 5u);
    } else {
      EXPECT_EQ(o.Text(MpFault::kCpu) + "/" + o.Text(MpFault::kOther), "1/0");
    }
  }
}

}  // namespace
