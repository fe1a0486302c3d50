#include "harness/ImageRun.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "harness/HexText.h"
#include "pe/ImageFile.h"

namespace harness {

namespace {

constexpr size_t kViolationsKept = 32;
// The size the emulator's code hook gives for an instruction it cannot decode (ud2, ...).
constexpr uint32_t kInvalidInstruction = 0xF1F1F1F1u;

uint64_t Reg(uc_engine *uc, int reg) {
  uint64_t v = 0;
  uc_reg_read(uc, reg, &v);
  return v;
}
void SetReg(uc_engine *uc, int reg, uint64_t v) { uc_reg_write(uc, reg, &v); }

}  // namespace

struct ImageRun::Hooks {
  static void Code(uc_engine *uc, uint64_t address, uint32_t size, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (address == ThunkAddress(kReturn)) {  // the run's function returned: stop before the thunk's `ret`
      uc_emu_stop(uc);
      return;
    }
    if (run.figures_ == nullptr || run.stopped_) return;
    if (++run.figures_->instructions > run.instructionBudget_) {
      run.Stop("instruction budget of " + std::to_string(run.instructionBudget_) + " exhausted at " + Hex(address),
               address);
      return;
    }
    if (address >= kThunkBase && address < kThunkBase + kThunkSize) {
      uint64_t returnAddress = 0;
      run.ReadGuest(Reg(uc, UC_X86_REG_RSP), &returnAddress, 8);
      if (run.mode_ == Mode::Handler)
        run.Violation(ViolationKind::Callout, "handler called out to firmware at " + Hex(address), returnAddress);
      std::string fault;
      if (!run.firmware_->Serve(address, fault)) run.Stop(fault, returnAddress);
      return;
    }
    const bool invalid = size == kInvalidInstruction;  // the emulator's sign for bytes that decode to nothing
    if (!run.confinement_.InCode(address, invalid ? 1 : size)) {
      if (run.mode_ == Mode::Handler)
        run.Violation(ViolationKind::Fetch, "instruction fetch outside the image's code at " + Hex(address), address);
      run.Stop("instruction fetch outside the image's code at " + Hex(address), address);
    } else if (invalid) {
      run.Stop("invalid instruction at " + Hex(address) + " (the processor raises #UD)", address, "invalid instruction");
    }
  }

  static void Memory(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t value, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (run.figures_ == nullptr) return;
    const bool write = type == UC_MEM_WRITE;
    const uint64_t width = static_cast<uint64_t>(size);
    const bool stack = Within(address, width, kStackTop - kStackSize, kStackSize);
    if (write && stack && address < run.lowestStackWrite_) run.lowestStackWrite_ = address;

    if (run.mode_ == Mode::Handler) {
      std::string what;
      const uint64_t rip = Reg(uc, UC_X86_REG_RIP);
      if (const auto kind = run.confinement_.CheckData(address, width, write, rip, what))
        run.Violation(*kind, what, rip);
    }

    // Between the image and the stack nothing lives: an access there is a
    // stack overflow or a stray pointer.
    const uint64_t imageEnd = kImageBase + run.image_.sizeOfImage;
    if (Overlaps(address, width, imageEnd, kStackTop - kStackSize - imageEnd)) {
      run.Stop(std::string(write ? "write to" : "read of") + " unused SMRAM at " + Hex(address) +
                   " (stack overflow or stray pointer)",
               Reg(uc, UC_X86_REG_RIP));
      return;
    }

    if (!Within(address, width, run.platform_.Layout().pciExpressBase, sim::kPciExpressSize) &&
        run.devicePages_.count(address >> 12) == 0)
      return;
    if (size != 1 && size != 2 && size != 4) {
      run.Stop("device access of " + std::to_string(size) + " bytes at " + Hex(address), Reg(uc, UC_X86_REG_RIP));
      return;
    }
    ++run.figures_->memoryMappedAccesses;
    uint32_t v = static_cast<uint32_t>(value);
    if (write) {
      run.platform_.bus.Write(sim::Space::Mem, address, size * 8, v);
    } else {
      // The page is ordinary RAM: fill it with the device's answer just before
      // the instruction reads it, so the access keeps its width.
      v = run.platform_.bus.Read(sim::Space::Mem, address, size * 8);
      uc_mem_write(uc, address, &v, static_cast<size_t>(size));
    }
    if (run.mode_ == Mode::Handler && size == 1 && address == run.platform_.GpioLockAddress())
      run.CheckLockAccess(write, write ? v & 0xFF : v, Reg(uc, UC_X86_REG_RIP));
  }

  static bool Unmapped(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t value, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    const char *what = type == UC_MEM_FETCH_UNMAPPED   ? "fetch from"
                       : type == UC_MEM_WRITE_UNMAPPED ? "write to"
                                                       : "read of";
    const std::string text =
        std::string(what) + " unmapped address " + Hex(address) + " (rip " + Hex(Reg(uc, UC_X86_REG_RIP)) + ")";
    if (run.mode_ == Mode::Handler) {
      run.Violation(ViolationKind::Unmapped, text, Reg(uc, UC_X86_REG_RIP));
    } else if (type != UC_MEM_FETCH_UNMAPPED && address >= kDeviceSpaceFirst && address < kDeviceSpaceEnd) {
      // Device space: the page becomes RAM that the memory hook fills from,
      // and forwards to, the bus (a device mapped there, or nothing).
      const uint64_t page = address & ~uint64_t{0xFFF};
      if (uc_mem_map(uc, page, 0x1000, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK) {
        run.devicePages_.insert(page >> 12);
        return true;  // the access is retried on the new page
      }
    }
    run.Stop(text, Reg(uc, UC_X86_REG_RIP));
    return false;
  }

  static uint32_t In(uc_engine *uc, uint32_t port, int size, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (run.figures_ != nullptr) ++run.figures_->portAccesses;
    const uint32_t selected = run.platform_.configPorts.Address();
    const uint32_t value = run.platform_.bus.Read(sim::Space::Io, port & 0xFFFF, size * 8);
    if (run.mode_ == Mode::Handler &&
        !run.confinement_.PortAllowed(static_cast<uint16_t>(port), size, false, value, selected))
      run.Violation(ViolationKind::Port, "handler read port " + Hex(port), Reg(uc, UC_X86_REG_RIP));
    return value;
  }

  static void Out(uc_engine *uc, uint32_t port, int size, uint32_t value, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (run.figures_ != nullptr) ++run.figures_->portAccesses;
    if (run.mode_ == Mode::Handler && !run.confinement_.PortAllowed(static_cast<uint16_t>(port), size, true, value,
                                                                     run.platform_.configPorts.Address()))
      run.Violation(ViolationKind::Port, "handler wrote port " + Hex(port) + " (" + Hex(value) + ")",
                    Reg(uc, UC_X86_REG_RIP));
    run.platform_.bus.Write(sim::Space::Io, port & 0xFFFF, size * 8, value);
  }

  static void Interrupt(uc_engine *uc, uint32_t number, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (number == 3) {  // INT3: counted; execution goes on after it, as under a debugger that continues
      if (run.figures_ != nullptr) ++run.figures_->breakpoints;
      run.Breakpoint(Reg(uc, UC_X86_REG_RIP), Reg(uc, UC_X86_REG_RSP));
      return;
    }
    run.Stop("interrupt " + std::to_string(number) + " at " + Hex(Reg(uc, UC_X86_REG_RIP)), Reg(uc, UC_X86_REG_RIP));
  }
};

uc_struct *ImageRun::OpenEmulator() {
  uc_engine *uc = nullptr;
  if (uc_open(UC_ARCH_X86, UC_MODE_64, &uc) != UC_ERR_OK) return nullptr;
  bool ok = uc_mem_map(uc, kBootServicesBase, kBootServicesSize, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK &&
            uc_mem_map(uc, kThunkBase, kThunkSize, UC_PROT_READ | UC_PROT_EXEC) == UC_ERR_OK &&
            uc_mem_map(uc, kSmramBase, kSmramSize, UC_PROT_ALL) == UC_ERR_OK &&
            uc_mem_map(uc, platform_.Layout().pciExpressBase, sim::kPciExpressSize, UC_PROT_READ | UC_PROT_WRITE) ==
                UC_ERR_OK;

  // Hooks before any code is translated: code hooks reach only code
  // translated after they are added.
  uc_hook h;
  ok = ok && uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(&Hooks::Code), this, 1, 0) == UC_ERR_OK;
  ok = ok && uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&Hooks::Memory), this,
                         1, 0) == UC_ERR_OK;
  ok = ok &&
       uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(&Hooks::Unmapped), this, 1, 0) == UC_ERR_OK;
  ok = ok &&
       uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::In), this, 1, 0, UC_X86_INS_IN) == UC_ERR_OK;
  ok = ok && uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::Out), this, 1, 0, UC_X86_INS_OUT) ==
                 UC_ERR_OK;
  ok = ok && uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void *>(&Hooks::Interrupt), this, 1, 0) == UC_ERR_OK;
  // No stop address: a run ends in the code hook, on arrival at the return
  // thunk.  Given a stop address, this emulator translates a fresh block at
  // it on every start and never keeps or frees one, so each handler run cost
  // a translation, and its code buffer (the process's memory) grew with
  // every run.  Without one, every block of the handler and the thunk is
  // translated once and reused for as many runs as there are.
  ok = ok && uc_ctl_exits_enable(uc) == UC_ERR_OK;
  if (!ok) {
    uc_close(uc);
    return nullptr;
  }
  return uc;
}

ImageRun::ImageRun(sim::Platform &platform) : platform_(platform) {
  const uint64_t window = platform_.Layout().pciExpressBase;
  if (Overlaps(window, sim::kPciExpressSize, 0, kThunkBase + kThunkSize) ||
      Overlaps(window, sim::kPciExpressSize, kSmramBase, kSmramSize)) {
    fault_ = "the board's PCI Express window at " + Hex(window) + " overlaps the harness's own memory";
    return;
  }
  confinement_.SetLockAddress(platform_.GpioLockAddress());
  if (platform_.Layout().windowCheck) {
    // 0xCF8's form of a packed configuration address on bus 0.
    auto legacy = [](uint32_t a) {
      return 0x80000000u | ((a >> 20) & 0xFF) << 16 | ((a >> 15) & 0x1F) << 11 | ((a >> 12) & 7) << 8 | (a & 0xFC);
    };
    const uint32_t bar = platform_.Layout().barRegister;
    confinement_.SetConfigAddresses({legacy(bar), legacy(bar + 4), legacy(0xF804C)});
  }
  uc_ = OpenEmulator();
  if (uc_ == nullptr) {
    fault_ = "the emulator could not be opened";
    return;
  }

  firmware_ = std::make_unique<GuestFirmware>(uc_, platform_.firmware);
  firmware_->Build();

  platform_.firmware.guestDispatch = [this](const sim::FakeFirmware::Registration &r, const void *, void *,
                                            UINTN *) -> EFI_STATUS {
    if (mode_ != Mode::Idle) {  // raised by the image's own access: taken once the current run returns
      deferredSmis_.push_back(r);
      return EFI_SUCCESS;
    }
    return CallHandler(r.guestHandler, reinterpret_cast<uint64_t>(r.handle), 0, 0, 0);
  };
  registeredGuestDispatch_ = true;
}

ImageRun::~ImageRun() {
  if (registeredGuestDispatch_) platform_.firmware.guestDispatch = nullptr;
  if (uc_ != nullptr) uc_close(uc_);
}

bool ImageRun::ReadGuest(uint64_t address, void *out, size_t size) {
  return uc_ != nullptr && uc_mem_read(uc_, address, out, size) == UC_ERR_OK;
}
bool ImageRun::WriteGuest(uint64_t address, const void *in, size_t size) {
  return uc_ != nullptr && uc_mem_write(uc_, address, in, size) == UC_ERR_OK;
}

bool ImageRun::Load(const std::string &imagePath) {
  std::vector<uint8_t> file;
  std::string error;
  if (!pe::ReadImageFile(imagePath, file, error)) {
    fault_ = "cannot read the image " + error;
    return false;
  }
  return LoadBytes(file);
}

bool ImageRun::LoadBytes(const std::vector<uint8_t> &file) {
  if (uc_ == nullptr) return false;
  if (loaded_) {
    fault_ = "an image is already loaded";
    return false;
  }
  std::vector<uint8_t> memory;
  const char *error = pe::CheckLoadableImage(file.data(), file.size(), image_);
  if (error == nullptr) {
    memory.resize(image_.sizeOfImage);
    error = pe::Load(image_, file.data(), file.size(), kImageBase, memory.data(), memory.size(), nullptr);
  }
  if (error == nullptr && memory.size() > kStackTop - kStackSize - kImageBase)
    error = "the image does not fit in SMRAM";
  if (error != nullptr) {
    fault_ = std::string("bad image: ") + error;
    return false;
  }
  WriteGuest(kImageBase, memory.data(), memory.size());
  std::vector<std::pair<uint64_t, uint64_t>> code;
  for (uint16_t i = 0; i < image_.sectionCount; ++i) {
    const pe::Section &s = image_.sections[i];
    if (s.Executable()) code.push_back({kImageBase + s.rva, kImageBase + s.rva + s.virtualSize});
  }
  confinement_.SetImage(kImageBase, image_.sizeOfImage, std::move(code));
  loaded_ = true;
  return true;
}

EFI_STATUS ImageRun::RunEntryPoint() {
  if (!loaded_) {
    if (fault_.empty()) fault_ = "no image loaded";
    return kHarnessFault;
  }
  const uint64_t args[4] = {GuestFirmware::kImageHandle, GuestFirmware::kSystemTable, 0, 0};
  boot_ = {};
  currentRun_ = 0;
  instructionBudget_ = bootInstructionBudget;
  const EFI_STATUS status = Call(kImageBase + image_.entryRva, args, Mode::Boot, boot_);
  FindBootServicesSlots();
  return status;
}

EFI_STATUS ImageRun::CallHandler(uint64_t handler, uint64_t dispatchHandle, uint64_t context, uint64_t commBuffer,
                                 uint64_t commBufferSize) {
  if (!loaded_) return kHarnessFault;
  if (mode_ != Mode::Idle) {
    Stop("handler called while the image runs", 0);
    return kHarnessFault;
  }
  const uint64_t args[4] = {dispatchHandle, context, commBuffer, commBufferSize};
  lastHandler_ = {};
  instructionBudget_ = kHandlerInstructionBudget;
  currentRun_ = ++handlerRuns_;
  confinement_.BeginHandlerRun();
  return Call(handler, args, Mode::Handler, lastHandler_);
}

EFI_STATUS ImageRun::Call(uint64_t function, const uint64_t args[4], Mode mode, RunFigures &figures) {
  // The Microsoft x64 convention: arguments in RCX, RDX, R8, R9; 32 bytes of
  // shadow space above the return address; RSP 16-byte aligned before the call.
  const uint64_t callerStack = kStackTop - 0x20;
  const uint64_t rsp = callerStack - 8;
  const uint64_t returnAddress = ThunkAddress(kReturn);
  WriteGuest(rsp, &returnAddress, 8);
  for (int reg : {UC_X86_REG_RAX, UC_X86_REG_RBX, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI, UC_X86_REG_R10,
                  UC_X86_REG_R11, UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15})
    SetReg(uc_, reg, 0);
  SetReg(uc_, UC_X86_REG_RCX, args[0]);
  SetReg(uc_, UC_X86_REG_RDX, args[1]);
  SetReg(uc_, UC_X86_REG_R8, args[2]);
  SetReg(uc_, UC_X86_REG_R9, args[3]);
  SetReg(uc_, UC_X86_REG_RSP, rsp);
  SetReg(uc_, UC_X86_REG_RFLAGS, 0x2);
  SetReg(uc_, UC_X86_REG_MXCSR, 0x1F80);  // the emulator starts with 0; firmware runs with the reset value

  mode_ = mode;
  figures_ = &figures;
  breakpointsHere_.clear();
  lockRead_.reset();
  const size_t registrationsBefore = platform_.firmware.Registrations().size();
  entryStackPointer_ = callerStack;
  lowestStackWrite_ = rsp;  // the return address the call pushed
  stopped_ = false;
  const uc_err err = uc_emu_start(uc_, function, 0, 0, 0);  // the code hook stops it at returnAddress
  const uint64_t rip = Reg(uc_, UC_X86_REG_RIP);
  figures.peakStackBytes = entryStackPointer_ - lowestStackWrite_;
  mode_ = Mode::Idle;
  figures_ = nullptr;

  EFI_STATUS status = Reg(uc_, UC_X86_REG_RAX);
  if (stopped_ || err != UC_ERR_OK || rip != returnAddress) {
    uint8_t before = 0;
    if (!stopped_ && err == UC_ERR_OK && ReadGuest(rip - 1, &before, 1) && before == 0xF4) {
      Stop("the code halted (hlt at " + Hex(rip - 1) + "): in SMM it waits for an interrupt that never comes", rip - 1,
           "halt");
    } else if (!stopped_) {
      Stop(std::string("emulation stopped: ") + uc_strerror(err) + " at " + Hex(rip), rip);
    }
    status = kHarnessFault;
  } else {
    JudgeReturn(mode, function, status, registrationsBefore);
  }

  // SMIs the run raised itself are taken now, by the outermost run only; a
  // handler that keeps raising its own SMI would never let the platform go
  // on, so the chain is cut with a fault, at the platform's own bound.
  if (!drainingDeferred_) {
    drainingDeferred_ = true;
    for (int taken = 0; !deferredSmis_.empty(); ++taken) {
      if (taken == sim::Platform::kMaxSmisPerAccess) {
        deferredSmis_.clear();
        const std::string chained = "SMIs raised by the image's own runs kept coming (" + std::to_string(taken) + ")";
        Record({FindingKind::Fault, ViolationKind::Data, currentRun_, 0, chained, {}});
        if (fault_.empty()) fault_ = chained;
        status = kHarnessFault;
        break;
      }
      const sim::FakeFirmware::Registration r = deferredSmis_.front();
      deferredSmis_.erase(deferredSmis_.begin());
      CallHandler(r.guestHandler, reinterpret_cast<uint64_t>(r.handle), 0, 0, 0);
    }
    drainingDeferred_ = false;
  }
  return status;
}

void ImageRun::Record(Finding finding) {
  ++counts_[static_cast<size_t>(finding.kind)];
  auto &kept = finding.kind == FindingKind::Breakpoint ? breakpoints_ : serious_;
  if (kept.size() < kFindingsKept) kept.push_back({findingOrder_++, std::move(finding)});
}

std::vector<Finding> ImageRun::Findings() const {
  std::vector<std::pair<uint64_t, Finding>> all = serious_;
  const size_t room = kFindingsKept - std::min(kFindingsKept, serious_.size());
  all.insert(all.end(), breakpoints_.begin(), breakpoints_.begin() + static_cast<long>(std::min(room, breakpoints_.size())));
  const bool everyOneKept = counts_[0] + counts_[1] + counts_[2] <= kFindingsKept;
  if (everyOneKept)
    std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<Finding> findings;
  for (auto &f : all) findings.push_back(std::move(f.second));
  return findings;
}

void ImageRun::CheckLockAccess(bool write, uint64_t value, uint64_t rip) {
  if (!write) {
    lockRead_ = static_cast<uint8_t>(value);
    return;
  }
  if (const auto breach = LockWriteBreach(lockRead_, static_cast<uint32_t>(value)))
    Violation(ViolationKind::LockValue, *breach, rip);
  lockRead_ = static_cast<uint8_t>(value);  // a later write starts from what this one left
}

void ImageRun::JudgeReturn(Mode mode, uint64_t function, EFI_STATUS status, size_t registrationsBefore) {
  if (mode == Mode::Handler && status != EFI_SUCCESS)
    Record({FindingKind::Fault, ViolationKind::Data, currentRun_, function,
            "the handler returned " + Hex(status) + " instead of EFI_SUCCESS", "handler status"});
  if (mode == Mode::Boot && EFI_ERROR(status) && platform_.firmware.Registrations().size() > registrationsBefore)
    Record({FindingKind::Fault, ViolationKind::Data, currentRun_, 0,
            "the entry failed (" + Hex(status) +
                ") after registering its handler: the handler stays registered and runs on every unlock SMI, "
                "though the driver said it did not start",
            "entry status"});
}

void ImageRun::Stop(const std::string &fault, uint64_t rip, const std::string &name) {
  if (!stopped_) {
    fault_ = fault;
    Record({FindingKind::Fault, ViolationKind::Data, currentRun_, rip, fault, name});
  }
  stopped_ = true;
  uc_emu_stop(uc_);
}

void ImageRun::Violation(ViolationKind kind, const std::string &what, uint64_t rip) {
  violationKinds_.insert(kind);
  if (violations_.size() < kViolationsKept) violations_.push_back(what);
  Record({FindingKind::Violation, kind, currentRun_, rip, what, {}});
}

void ImageRun::Breakpoint(uint64_t rip, uint64_t rsp) {
  // An assertion report ends in the breakpoint: DebugAssert's buffer, with
  // the "ASSERT file(line): text" it sent, lies in a frame above the stack
  // pointer.  The nearest one is the report of this breakpoint.
  // Only a breakpoint that is kept is worth the search.
  std::string report;
  std::vector<char> stack(
      breakpoints_.size() < kFindingsKept ? std::min<uint64_t>(kStackTop - std::min(rsp, kStackTop), 0x2000) : 0);
  if (!stack.empty() && ReadGuest(rsp, stack.data(), stack.size())) {
    const std::string text(stack.begin(), stack.end());
    const size_t at = text.find("ASSERT ");
    if (at != std::string::npos) {
      const size_t end = text.find_first_of(std::string("\r\n\0", 3), at);
      if (end != std::string::npos) report = text.substr(at, end - at);
    }
  }
  Record({FindingKind::Breakpoint, ViolationKind::Data, currentRun_, rip, report, {}});
  if (++breakpointsHere_[rip] == kBreakpointStorm)
    Stop(std::to_string(kBreakpointStorm) + " breakpoints at one address in one run; the run was stopped", rip,
         "breakpoint storm");
}

void ImageRun::FindBootServicesSlots() {
  std::vector<uint64_t> slots;
  for (uint64_t at = kImageBase; at + 8 <= kImageBase + image_.sizeOfImage; at += 8) {
    uint64_t v = 0;
    ReadGuest(at, &v, 8);
    if (Within(v, 1, kBootServicesBase, kBootServicesSize) || Within(v, 1, kThunkBase, kThunkSize)) slots.push_back(at);
  }
  confinement_.SetBootServicesSlots(std::move(slots));
}

}  // namespace harness
