// Runs the built image, unchanged, on the simulated platform.
//
// Contract:
//   sim::Platform platform;              // must outlive the ImageRun
//   harness::ImageRun run(platform);
//   if (!run.Load(imagePath)) ... run.Fault() says why;
//   EFI_STATUS status = run.RunEntryPoint();
// Load places the PE32+ image in emulated SMRAM at kImageBase and applies its
// relocations.  RunEntryPoint calls ModuleEntryPoint(image handle, system
// table) with guest copies of the fake firmware's tables, whose services are
// thunks into the same sim::FakeFirmware methods the host build reaches.
// From then on, every SMI the platform delivers runs the handler the image
// registered, in the emulator, until the ImageRun is destroyed.
//
// The entry point is called as an SMM core calls it: the Microsoft x64
// convention, RCX the image handle (a handle carrying a loaded-image
// protocol), RDX the system table, a 16-byte aligned stack in SMRAM with the
// 32-byte shadow space, MXCSR at its reset value 0x1F80.  With the configured
// unload count of 0 no unload callback is installed, and none is called.
//
// Port I/O, every access to the PCI Express window and every access to other
// device space go to platform.bus at their exact width, so the bus trace is the image's own.  INT3 is counted and
// execution resumes after it.  A run that leaves its bounds (an unmapped
// access, an unexpected firmware service, an instruction budget) stops with
// a fault: the status is then kHarnessFault and Fault() describes it.
//
// While a handler runs, every instruction fetch must lie in the image's
// executable sections, and every data access in the image, the stack or the
// GPIO lock byte; the image's slots that hold boot-services pointers must not
// be read.  Each breach is recorded in Violations().
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Uefi.h"
#include "pe/PeReader.h"
#include "sim/Platform.h"

struct uc_struct;

namespace harness {

// Guest memory map (flat, physical = virtual).
constexpr uint64_t kBootServicesBase = 0x00100000;  // boot-services data: system table, boot services, ...
constexpr uint64_t kBootServicesSize = 0x00010000;
constexpr uint64_t kThunkBase = 0x00110000;  // one `ret` per firmware service; the harness acts on arrival
constexpr uint64_t kThunkSize = 0x1000;
constexpr uint64_t kSmramBase = 0x7F000000;  // SMRAM: SMST, the dispatcher's interface, the image, the stack
constexpr uint64_t kSmramSize = 0x00400000;
constexpr uint64_t kImageBase = 0x7F100000;
constexpr uint64_t kStackTop = kSmramBase + kSmramSize;
constexpr uint64_t kStackSize = 0x00010000;
// Memory from here up that the harness has not mapped is device space: a
// page there is mapped on first touch and reaches the bus (only during the
// boot; the handler touches nothing outside its bounds).  Below it, an
// unmapped access is a fault.
constexpr uint64_t kDeviceSpaceFirst = 0x80000000;
constexpr uint64_t kDeviceSpaceEnd = uint64_t{1} << 40;

// Returned by the runs when the emulation itself stopped on a fault.
constexpr EFI_STATUS kHarnessFault = 0xDEAD00000000FA17ull;

struct RunFigures {
  uint64_t instructions = 0;
  uint64_t portAccesses = 0;
  uint64_t memoryMappedAccesses = 0;  // device (bus) accesses through memory
  uint64_t breakpoints = 0;
  uint64_t peakStackBytes = 0;  // below the stack pointer the run was entered with
};

class ImageRun {
 public:
  explicit ImageRun(sim::Platform &platform);
  ~ImageRun();
  ImageRun(const ImageRun &) = delete;
  ImageRun &operator=(const ImageRun &) = delete;

  // Instructions a boot may run before it counts as hung and is stopped
  // (a device model that never becomes ready would otherwise keep it polling).
  uint64_t bootInstructionBudget = 200'000'000;

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
  uint64_t TotalBreakpoints() const { return totalBreakpoints_; }
  uint64_t ViolationCount() const { return violationCount_; }
  const std::vector<std::string> &Violations() const { return violations_; }  // the first few, described
  // Which kinds of breach were seen: "callout", "fetch", "data", "port",
  // "boot-services pointer", "unmapped".
  const std::set<std::string> &ViolationKinds() const { return violationKinds_; }
  // Image slots that held a boot-services pointer when the entry returned.
  const std::vector<uint64_t> &BootServicesPointerSlots() const { return bootServicesSlots_; }
  const pe::Headers &Image() const { return image_; }

  // Guest memory, for tests (false when the range is not mapped).
  bool ReadGuest(uint64_t address, void *out, size_t size);
  bool WriteGuest(uint64_t address, const void *in, size_t size);

  // The guest's firmware tables.
  static constexpr uint64_t kSystemTable = kBootServicesBase + 0x000;
  static constexpr uint64_t kBootServices = kBootServicesBase + 0x100;
  static constexpr uint64_t kSmmBase2 = kBootServicesBase + 0x300;
  static constexpr uint64_t kLoadedImage = kBootServicesBase + 0x340;
  static constexpr uint64_t kImageHandle = kBootServicesBase + 0x3C0;
  static constexpr uint64_t kSmst = kSmramBase + 0x000;
  static constexpr uint64_t kSmiSourceDispatch = kSmramBase + 0x200;

  struct Hooks;  // the emulator's callbacks (ImageRun.cpp)

 private:
  friend struct Hooks;
  enum class Mode { Idle, Boot, Handler };

  EFI_STATUS Call(uint64_t function, const uint64_t args[4], Mode mode, RunFigures &figures);
  void BuildTables();
  void Service(uint64_t thunk);
  void Violation(const char *kind, const std::string &what);
  void Stop(const std::string &fault);
  uint64_t GuestOf(const void *hostInterface) const;
  void FindBootServicesSlots();

  sim::Platform &platform_;
  uc_struct *uc_ = nullptr;
  pe::Headers image_{};
  bool loaded_ = false;
  bool registeredGuestDispatch_ = false;

  Mode mode_ = Mode::Idle;
  RunFigures *figures_ = nullptr;
  uint64_t entryStackPointer_ = 0;
  uint64_t lowestStackWrite_ = 0;
  uint64_t instructionBudget_ = 0;
  std::string fault_;
  bool stopped_ = false;

  RunFigures boot_, lastHandler_;
  uint64_t handlerRuns_ = 0;
  uint64_t totalBreakpoints_ = 0;
  uint64_t violationCount_ = 0;
  std::vector<std::string> violations_;
  std::set<std::string> violationKinds_;
  std::vector<uint64_t> bootServicesSlots_;
  std::vector<std::pair<uint64_t, uint64_t>> codeRanges_;  // executable sections, [first, end)
  std::vector<sim::FakeFirmware::Registration> deferredSmis_;
  bool drainingDeferred_ = false;
  std::set<uint64_t> devicePages_;  // page numbers mapped as device space
};

}  // namespace harness
