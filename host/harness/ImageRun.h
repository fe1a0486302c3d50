// Runs the built image, unchanged, on the simulated platform.
//
// Contract:
//   sim::Platform platform;              // must outlive the ImageRun
//   harness::ImageRun run(platform);
//   if (!run.Load(imagePath)) ... run.Fault() says why;
//   EFI_STATUS status = run.RunEntryPoint();
// Load checks the file by the one PE reader's driver-image rule, places it in
// emulated SMRAM at kImageBase and applies its relocations.  RunEntryPoint
// calls ModuleEntryPoint(image handle, system table) with the guest firmware
// (GuestFirmware.h).  From then on, every SMI the platform delivers runs the
// handler the image registered, in the emulator, until the ImageRun is
// destroyed.
//
// The entry point is called as an SMM core calls it: the Microsoft x64
// convention, RCX the image handle (a handle carrying a loaded-image
// protocol), RDX the system table, a 16-byte aligned stack in SMRAM with the
// 32-byte shadow space, MXCSR at its reset value 0x1F80.  With the configured
// unload count of 0 no unload callback is installed, and none is called.
//
// Port I/O, every access to the PCI Express window and every access to other
// device space go to platform.bus at their exact width, so the bus trace is
// the image's own.  INT3 is counted and execution resumes after it.  A run
// that leaves its bounds (an unmapped access, an unexpected firmware
// service, an instruction budget) stops with a fault: the status is then
// kHarnessFault and Fault() describes it.  While a handler runs, the
// confinement rules (Confinement.h) apply; each breach is a violation.
//
// Every fault, violation and breakpoint is also a finding, recorded with the
// run it happened in (0 the boot, n the n-th handler run) and where.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Uefi.h"
#include "harness/Confinement.h"
#include "harness/GuestFirmware.h"
#include "harness/GuestMemoryMap.h"
#include "pe/PeReader.h"
#include "sim/Platform.h"

struct uc_struct;

namespace harness {

// Returned by the runs when the emulation itself stopped on a fault.
constexpr EFI_STATUS kHarnessFault = 0xDEAD00000000FA17ull;

struct RunFigures {
  uint64_t instructions = 0;
  uint64_t portAccesses = 0;
  uint64_t memoryMappedAccesses = 0;  // device (bus) accesses through memory
  uint64_t breakpoints = 0;
  uint64_t peakStackBytes = 0;  // below the stack pointer the run was entered with
};

enum class FindingKind : uint8_t { Fault, Violation, Breakpoint };

struct Finding {
  FindingKind kind;
  ViolationKind violation = ViolationKind::Data;  // for a violation
  uint64_t run = 0;                               // 0: the boot; n: the n-th handler run
  uint64_t rip = 0;                               // the instruction (after an INT3: the one after it)
  std::string text;  // what happened; for a breakpoint, the assertion report found on the stack, if any
  std::string name;  // what it is called when the kind alone does not say ("breakpoint storm"); may be empty
};

class ImageRun {
 public:
  explicit ImageRun(sim::Platform &platform);
  ~ImageRun();
  ImageRun(const ImageRun &) = delete;
  ImageRun &operator=(const ImageRun &) = delete;

  // Instructions a boot may run before it counts as hung and is stopped
  // (a device model that never becomes ready would otherwise keep it
  // polling).  Sound boots measured: quiet 536; messages on 31,446, 352,284
  // at 9600 baud through a line that takes each character in its time; the
  // longest, a dead UART whose every bounded wait runs out, 7,008,770.  The
  // budget is about 4.5 times that: a hung boot stops in a second or two.
  uint64_t bootInstructionBudget = 32'000'000;
  static constexpr uint64_t kHandlerInstructionBudget = 100'000;
  // Breakpoints at one address within one run that make a storm (a report
  // in a loop): the run is stopped there.
  static constexpr uint64_t kBreakpointStorm = 1000;

  bool Load(const std::string &imagePath);
  bool LoadBytes(const std::vector<uint8_t> &file);
  EFI_STATUS RunEntryPoint();

  // Calls the image's handler at `handler` with raw guest arguments, as the
  // dispatcher would; a registered handler's address is in
  // platform.firmware.Registrations().
  EFI_STATUS CallHandler(uint64_t handler, uint64_t dispatchHandle, uint64_t context, uint64_t commBuffer,
                         uint64_t commBufferSize);

  const std::string &Fault() const { return fault_; }
  const RunFigures &BootFigures() const { return boot_; }
  const RunFigures &LastHandlerFigures() const { return lastHandler_; }
  uint64_t HandlerRuns() const { return handlerRuns_; }
  uint64_t TotalBreakpoints() const { return CountOf(FindingKind::Breakpoint); }
  uint64_t ViolationCount() const { return CountOf(FindingKind::Violation); }
  const std::vector<std::string> &Violations() const { return violations_; }  // the first few, described
  const std::set<ViolationKind> &ViolationKinds() const { return violationKinds_; }
  // Image slots that held a boot-services pointer when the entry returned.
  const std::vector<uint64_t> &BootServicesPointerSlots() const { return confinement_.BootServicesSlots(); }
  const pe::Headers &Image() const { return image_; }

  // At most kFindingsKept findings, and how many of each kind there were in
  // all.  When they all fit they come in the order they happened; when not,
  // the first faults and violations come first and breakpoints fill the rest.
  static constexpr size_t kFindingsKept = 64;
  std::vector<Finding> Findings() const;
  uint64_t CountOf(FindingKind kind) const { return counts_[static_cast<size_t>(kind)]; }

  // Guest memory, for tests (false when the range is not mapped).
  bool ReadGuest(uint64_t address, void *out, size_t size);
  bool WriteGuest(uint64_t address, const void *in, size_t size);

  static constexpr uint64_t kSystemTable = GuestFirmware::kSystemTable;
  static constexpr uint64_t kSmiSourceDispatch = GuestFirmware::kSmiSourceDispatch;

  struct Hooks;  // the emulator's callbacks (ImageRun.cpp)

 private:
  friend struct Hooks;
  enum class Mode { Idle, Boot, Handler };

  uc_struct *OpenEmulator();
  EFI_STATUS Call(uint64_t function, const uint64_t args[4], Mode mode, RunFigures &figures);
  void Violation(ViolationKind kind, const std::string &what, uint64_t rip);
  void Breakpoint(uint64_t rip, uint64_t rsp);
  void Stop(const std::string &fault, uint64_t rip, const std::string &name = {});
  void CheckLockAccess(bool write, uint64_t value, uint64_t rip);
  void JudgeReturn(Mode mode, uint64_t function, EFI_STATUS status, size_t registrationsBefore);
  void Record(Finding finding);
  void FindBootServicesSlots();

  sim::Platform &platform_;
  uc_struct *uc_ = nullptr;
  std::unique_ptr<GuestFirmware> firmware_;
  Confinement confinement_;
  pe::Headers image_{};
  bool loaded_ = false;
  bool registeredGuestDispatch_ = false;

  Mode mode_ = Mode::Idle;
  RunFigures *figures_ = nullptr;
  uint64_t currentRun_ = 0;
  uint64_t entryStackPointer_ = 0;
  uint64_t lowestStackWrite_ = 0;
  uint64_t instructionBudget_ = 0;
  std::string fault_;
  bool stopped_ = false;

  RunFigures boot_, lastHandler_;
  uint64_t handlerRuns_ = 0;
  std::vector<std::pair<uint64_t, Finding>> serious_, breakpoints_;  // by the order they happened in
  uint64_t findingOrder_ = 0;
  std::array<uint64_t, 3> counts_{};
  std::map<uint64_t, uint64_t> breakpointsHere_;  // this run's, by address
  std::optional<uint8_t> lockRead_;               // this run's last read of the lock byte
  std::vector<std::string> violations_;
  std::set<ViolationKind> violationKinds_;
  std::vector<sim::FakeFirmware::Registration> deferredSmis_;
  bool drainingDeferred_ = false;

  std::set<uint64_t> devicePages_;  // page numbers mapped as device space
};

}  // namespace harness
