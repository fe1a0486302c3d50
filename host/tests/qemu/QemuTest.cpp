// The real image in real SMM on QEMU's q35 machine, against device models
// nobody here wrote: QEMU's SMM, ICH9, 16550 and CMOS.  Where a comparison
// needs our side, the same image runs on the simulator configured as QEMU's
// machine is (no Super I/O; the 16550 as QEMU's reset leaves it).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness/RealImage.h"
#include "pe/ImageFile.h"
#include "pe/MapFile.h"
#include "pe/PeReader.h"
#include "qemu/QemuRun.h"
#include "support/TestSupport.h"
#include "tables/Crc32.h"

namespace {

testing::AssertionResult Passed(const qemu::Outcome &o) {
  if (o.end == qemu::Outcome::End::Passed) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the QEMU run " << qemu::EndName(o.end) << ": " << o.fault << "\n" << o.report;
}

std::vector<uint8_t> ImageBytes() {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(pe::ReadImageFile(VEXA_IMAGE_PATH, bytes, error)) << error;
  return bytes;
}

qemu::Settings Settings() {
  qemu::Settings s;
  s.imagePath = VEXA_IMAGE_PATH;
  s.timeoutSeconds = 60;  // far beyond the second a run takes; a hang still ends
  return s;
}

struct SimulatorRun {
  EFI_STATUS status;
  std::vector<sim::Access> trace;
  std::string console;
  uint64_t breakpoints;
};

SimulatorRun OnTheSimulator(uint32_t printLevel, uint8_t cmos, bool uart = true, const sim::BoardLayout &board = {},
                            const std::string &image = {}) {
  sim::Platform platform(board);
  platform.superIo.absent = true;  // QEMU's 0x370/0x371 read 0xFF
  platform.uart.PowerOnReset();
  platform.uart.SetDivisor(12);  // QEMU's 16550 comes out of reset at 9600 baud
  platform.uart.instantLine = true;
  if (!uart) platform.uart.decoded = [] { return false; };
  realimage::Booted b;
  EXPECT_TRUE(realimage::Boot(platform, b, {printLevel, cmos}, image));
  std::vector<sim::Access> trace = platform.bus.Trace();
  for (sim::Access &a : trace) a.device = nullptr;  // the devices go with the platform; the names stay
  return {b.status, trace, testsupport::ConsoleText(platform), b.run->TotalBreakpoints()};
}

// One run with the driver and one without, 1,000 attacks each, then the
// SMRAM protection checks; several tests read them.
class QemuDefence : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (bool driver : {true, false}) {
      qemu::Settings s = Settings();
      s.loadDriver = driver;
      s.attempts = 1000;
      s.protectionChecks = true;
      (driver ? withDriver : control) = new qemu::Outcome(qemu::Run(s));
    }
  }
  static void TearDownTestSuite() {
    delete withDriver;
    delete control;
  }
  static qemu::Outcome *withDriver, *control;
};
qemu::Outcome *QemuDefence::withDriver, *QemuDefence::control;

TEST_F(QemuDefence, EntryReturnsSuccessInSmmAndRegistersOneHandlerForSource48) {
  const qemu::Outcome &o = *withDriver;
  ASSERT_TRUE(Passed(o));
  const std::vector<uint8_t> image = ImageBytes();
  EXPECT_EQ(o.Number(report::Image::kCrcInSmram), tables::Crc32(image.data(), image.size()));  // the exact bytes
  EXPECT_EQ(o.Number(report::Smbase::kValue), 0x1FF00000u);                                    // relocated into TSEG
  EXPECT_EQ(o.Number(report::Image::kLoaded), 1u);
  EXPECT_EQ(o.Number(report::Entry::kStatus), EFI_SUCCESS);
  EXPECT_EQ(o.Number(report::Entry::kInSmm), 1u);  // what InSmm found, reading SMRAM-only state
  EXPECT_EQ(o.Number(report::Entry::kRegistrations), 1u);
  EXPECT_EQ(o.Text(report::Entry::kSources), "48");
  EXPECT_EQ(o.Number(report::Entry::kBreakpoints), 0u);
}

TEST_F(QemuDefence, EveryClearIsRelockedAndWithoutTheDriverNoneIs) {
  const struct {
    const char *name;
    const qemu::Outcome *o;
    uint64_t relocked, handlerCalls;
  } rows[] = {{"with the driver", withDriver, 1000, 1000}, {"negative control: no driver", control, 0, 0}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(r.o->end, qemu::Outcome::End::Passed) << r.o->fault << "\n" << r.o->report;
    EXPECT_EQ(r.o->Number(report::Smram::kValue), 0x1Au);  // closed and locked before the attacks
    EXPECT_EQ(r.o->Number(report::Attack::kSmis), 1000u);
    EXPECT_EQ(r.o->Number(report::Attack::kRelocked), r.relocked);
    EXPECT_EQ(r.o->Number(report::Attack::kHandlerCalls), r.handlerCalls);
  }
}

TEST_F(QemuDefence, SmramStaysHiddenWriteProofAndLocked) {
  const qemu::Outcome &o = *withDriver;
  ASSERT_TRUE(Passed(o));
  EXPECT_EQ(o.Number(report::Tseg::kHidden), 1u);
  EXPECT_EQ(o.Number(report::Protection::kVisibleBytes), 0u);           // of the 1 MiB, handler included
  EXPECT_EQ(o.Number(report::Protection::kRelockedAfterWrites), 1u);    // 1 MiB of 0xCC written from outside
  EXPECT_EQ(o.Number(report::Protection::kSmramAfterReopen), 0x1Au);    // D_OPEN refused after D_LCK
  EXPECT_EQ(o.Number(report::Protection::kEsmramcAfterReopen), 0x39u);  // T_EN stays
  EXPECT_EQ(o.Number(report::Protection::kVisibleAfterReopen), 0u);
  EXPECT_EQ(o.Number(report::Protection::kRelockedAfterReopen), 1u);
}

TEST(Qemu, BootTraceEqualsTheSimulatorsAndEachSmiTouchesOnlyTheLock) {
  // The last row is the example board with its window at 0xE0000000 and its
  // CMOS selecting 9600 baud: the rig moves PCIEXBAR where the image's map
  // says the board has it.
  sim::BoardLayout board;
  pe::MapFile boardMap;
  ASSERT_TRUE(boardMap.Read(pe::MapPathFor(VEXA_BOARD_WINDOW_IMAGE))) << boardMap.Error();
  std::string error;
  ASSERT_TRUE(sim::BoardLayoutFrom(boardMap.BoardSettings(), board, error)) << error;
  ASSERT_EQ(board.pciExpressBase, 0xE0000000u);
  const struct {
    uint32_t printLevel;
    uint8_t cmos;
    const char *image;
    sim::BoardLayout board;
  } scenarios[] = {{0, 0x00, VEXA_IMAGE_PATH, {}},
                   {0x80000040u, 0x06, VEXA_IMAGE_PATH, {}},
                   {0x40, board.cmosSerialBaud, VEXA_BOARD_WINDOW_IMAGE, board}};
  for (const auto &scenario : scenarios) {
    SCOPED_TRACE(scenario.image);
    SCOPED_TRACE(scenario.printLevel);
    qemu::Settings s = Settings();
    s.imagePath = scenario.image;
    s.printLevel = scenario.printLevel;
    if (scenario.board.name == "default") s.cmos = scenario.cmos;  // the board's own: from its map
    s.attempts = 3;
    s.idleSmis = 1;
    s.trace = true;
    const qemu::Outcome o = qemu::Run(s);
    ASSERT_TRUE(Passed(o));
    const SimulatorRun sim = OnTheSimulator(scenario.printLevel, scenario.cmos, true, scenario.board, scenario.image);
    EXPECT_EQ(o.Number(report::Entry::kStatus), sim.status);
    EXPECT_EQ(o.console, sim.console);
    EXPECT_GT(o.bootTrace.size(), 40u);
    EXPECT_TRUE(testsupport::TraceIs(o.bootTrace, sim.trace));

    const uint64_t lock = scenario.board.GpioLockAddress();
    const std::vector<sim::Access> cleared = {sim::MemR8(lock, 0x00), sim::MemR8(lock, 0x00), sim::MemW8(lock, 0x01)};
    const std::vector<sim::Access> set = {sim::MemR8(lock, 0x01)};
    ASSERT_EQ(o.smiTraces.size(), 4u);
    for (size_t i = 0; i < o.smiTraces.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(testsupport::TraceIs(o.smiTraces[i], i < 3 ? cleared : set));
    }
  }
}

TEST(Qemu, ConsoleTextEqualsTheSimulatorsAtEveryBaudSelection) {
  for (uint8_t cmos : {0x00, 0x02, 0x04, 0x06}) {
    SCOPED_TRACE(cmos);
    qemu::Settings s = Settings();
    s.cmos = cmos;
    s.printLevel = 0x80000040u;
    s.attempts = 1;
    const qemu::Outcome o = qemu::Run(s);
    ASSERT_TRUE(Passed(o));
    EXPECT_EQ(o.console, OnTheSimulator(*s.printLevel, cmos).console);
    EXPECT_NE(o.console.find("VexaGpioUnlockSmmEntry() Exit\r\n"), std::string::npos);
  }
}

TEST(Qemu, WithoutAUartTheEntryEndsWithItsDefinedStatusAndTheHandlerStillRelocks) {
  qemu::Settings s = Settings();
  s.serial = false;  // the UART's ports read all ones
  s.printLevel = 0x80000040u;
  s.attempts = 10;
  const qemu::Outcome o = qemu::Run(s);
  ASSERT_TRUE(o.Ran()) << qemu::EndName(o.end) << ": " << o.fault << "\n" << o.report;
  const SimulatorRun sim = OnTheSimulator(*s.printLevel, 0x00, false);
  EXPECT_EQ(o.Number(report::Entry::kStatus), sim.status);
  EXPECT_EQ(o.Number(report::Entry::kBreakpoints), sim.breakpoints);
  EXPECT_EQ(o.Number(report::Entry::kRegistrations), 1u);
  EXPECT_EQ(o.Number(report::Attack::kRelocked), 10u);
  EXPECT_LT(o.wallSeconds, 10.0);
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

// The file offset of the image's bytes at `rva`.
size_t FileOffset(uint32_t rva) {
  const std::vector<uint8_t> file = ImageBytes();
  pe::Headers h;
  size_t at = 0;
  EXPECT_EQ(pe::Parse(file.data(), file.size(), h), nullptr);
  EXPECT_TRUE(h.FileOffset(rva, 1, at));
  return at;
}

// A copy of the image, with its map, whose bytes at file offset `at` are replaced.
std::string PatchedImage(const std::string &name, size_t at, const std::vector<uint8_t> &bytes) {
  std::vector<uint8_t> file = ImageBytes();
  EXPECT_LE(at + bytes.size(), file.size());
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
  const std::string path = testing::TempDir() + "/" + name + "-" + std::to_string(getpid()) + ".efi";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
  std::filesystem::copy_file(pe::MapPathFor(VEXA_IMAGE_PATH), pe::MapPathFor(path),
                             std::filesystem::copy_options::overwrite_existing);
  return path;
}

// Where the SMM constructor calls gBS->LocateProtocol: an indirect call
// (FF /2) through the boot-services table's slot at 320 (0x140), whichever
// register holds the table.
size_t LocateProtocolCall() {
  const std::vector<uint8_t> file = ImageBytes();
  const uint8_t slot[] = {0x40, 0x01, 0x00, 0x00};
  for (size_t at = 0; at + 6 <= file.size(); ++at) {
    const uint8_t modrm = file[at + 1];
    if (file[at] == 0xFF && (modrm & 0xF8) == 0x90 && modrm != 0x94 && std::memcmp(&file[at + 2], slot, 4) == 0)
      return at;
  }
  ADD_FAILURE() << "no call through slot 320 in the image";
  return 0;
}

// Where the handler writes the lock byte, found in the code: its only
// write, a byte store (MOV r/m8, r8) at the window base + 0xF804C, whose
// six bytes a breakpoint and five NOPs replace.
uint32_t HandlersWrite(const pe::MapFile &map) {
  const std::vector<uint8_t> file = ImageBytes();
  pe::Headers h;
  pe::Parse(file.data(), file.size(), h);
  const uint32_t handler = map.Rva("GpioUnlockSmiHandler").value_or(0);
  const uint8_t offset[] = {0x4C, 0x80, 0x0F, 0x00};  // 0xF804C, the lock register's offset in the window
  for (uint32_t rva = handler; rva < handler + 64; ++rva) {
    size_t at = 0;
    if (!h.FileOffset(rva, 6, at) || file[at] != 0x88 || (file[at + 1] >> 6) != 2) continue;
    if (std::memcmp(&file[at + 2], offset, sizeof offset) == 0) return rva;
  }
  return 0;
}

// Where the entry stores the source it registers for, 48: the immediate of
// the one MOV r/m32, imm32 (C7 /0) in VexaGpioUnlockSmmEntry that stores it.
size_t RegisteredSource() {
  pe::MapFile map;
  EXPECT_TRUE(map.Read(pe::MapPathFor(VEXA_IMAGE_PATH))) << map.Error();
  const size_t entry = FileOffset(map.Rva("VexaGpioUnlockSmmEntry").value_or(0));
  const std::vector<uint8_t> file = ImageBytes();
  const uint8_t source[] = {0x30, 0x00, 0x00, 0x00};
  for (size_t at = entry; at + 8 <= file.size() && at < entry + 0x100; ++at)
    for (size_t imm = at + 2; imm <= at + 3; ++imm)  // ModRM alone, or with an 8-bit displacement
      if (file[at] == 0xC7 && (file[at + 1] & 0x38) == 0 && std::memcmp(&file[imm], source, 4) == 0) return imm;
  ADD_FAILURE() << "no store of 48 in VexaGpioUnlockSmmEntry";
  return 0;
}

// What the guest does with a bad request or a driver that misbehaves in
// SMM: a defined refusal or report, and an exit, never a hang.
TEST(Qemu, BadRequestsAndFaultsInSmmEndInAReportNotAHang) {
  pe::MapFile map;
  ASSERT_TRUE(map.Read(pe::MapPathFor(VEXA_IMAGE_PATH))) << map.Error();
  const uint32_t handler = map.Rva("GpioUnlockSmiHandler").value_or(0), write = HandlersWrite(map);
  ASSERT_NE(handler, 0u);
  ASSERT_NE(write, 0u);
  const struct {
    const char *name;
    std::string image, arguments;
    std::vector<std::pair<report::Field, std::string>> expected;
  } rows[] = {
      {"bytes that do not match their checksum",
       VEXA_IMAGE_PATH,
       "image-crc=0x1",
       {{report::Image::kLoaded, "0"},
        {report::Image::kError, "image-checksum-mismatch"},
        {report::Check::kFailed, "an-unlock-stayed"}}},
      {"a file that is no driver image",
       qemu::DefaultGuest(),
       "",
       {{report::Image::kLoaded, "0"}, {report::Image::kError, "no-MZ-header"}}},
      {"an unknown parameter", VEXA_IMAGE_PATH, "frobnicate=1", {{report::Result::kReason, "bad-command-line"}}},
      {"the driver calls a service it has no business calling",
       PatchedImage("calls-slot-41", LocateProtocolCall() + 2, {0x48}),  // the slot after LocateProtocol
       "",
       {{report::Fault::kWhere, "smm"},
        {report::Fault::kWhat, "the-image-called-a-firmware-service-it-has-no-business-calling"}}},
      {"the handler faults",
       PatchedImage("handler-ud2", FileOffset(handler), {0x0F, 0x0B}),
       "",
       {{report::Exception::kWhere, "smm"},
        {report::Exception::kVector, "6"},
        {report::Exception::kRva, Hex(handler)}}},
      {"the driver registers for another source: its handler is never called",
       PatchedImage("source-47", RegisteredSource(), {0x2F}),
       "",
       {{report::Entry::kSources, "47"},
        {report::Attack::kHandlerCalls, "0"},
        {report::Attack::kRelocked, "0"},
        {report::Check::kFailed, "an-unlock-stayed"}}},
      // in eax, dx (0x630, SMI_EN under the default BIOS's PM base); clear APM_EN; out dx, eax; xor eax, eax; ret
      {"the handler turns the unlock SMI off: each SMI not taken is counted",
       PatchedImage("handler-stops-smis", FileOffset(handler),
                    {0x66, 0xBA, 0x30, 0x06, 0xED, 0x24, 0xDF, 0xEF, 0x31, 0xC0, 0xC3}),
       "",
       {{report::Attack::kSmis, "1"}, {report::Check::kFailed, "an-smi-was-not-taken"}}},
      {"the handler breaks where it would write",
       PatchedImage("handler-int3", FileOffset(write), {0xCC, 0x90, 0x90, 0x90, 0x90, 0x90}),
       "",
       {{report::Attack::kRelocked, "0"},
        {report::Attack::kBreakpoints, "3"},
        {report::Check::kFailed, "an-unlock-stayed"}}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    qemu::Settings s = Settings();
    s.imagePath = r.image;
    s.guestArguments = r.arguments;
    s.attempts = 3;
    const qemu::Outcome o = qemu::Run(s);
    EXPECT_EQ(o.end, qemu::Outcome::End::Failed) << o.fault << "\n" << o.report;
    for (const auto &[field, value] : r.expected) {
      const bool check = std::string(field.topic) == report::Check::kName;  // several may fail: this one among them
      EXPECT_EQ(check && std::count(o.failedChecks.begin(), o.failedChecks.end(), value) != 0 ? value : o.Text(field),
                value)
          << field.topic << "." << field.name << "\n"
          << o.report;
    }
  }
}

}  // namespace
