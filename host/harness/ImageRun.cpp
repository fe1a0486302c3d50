#include "harness/ImageRun.h"

#include <unicorn/unicorn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"

namespace harness {

namespace {

// One `ret` per service, 16 bytes apart.  The code hook performs the service
// when the guest arrives at the thunk; the `ret` then returns to the caller.
enum Thunk : uint64_t {
  kReturn,  // where the harness's own calls return to: the emulation stops there
  kHandleProtocol,
  kLocateProtocol,
  kInSmm,
  kGetSmstLocation,
  kSmmLocateProtocol,
  kRegister,
  kUnRegister,
  kUnusedService,  // every table slot the module has no business calling
  kThunkCount
};
constexpr uint64_t ThunkAddress(Thunk t) { return kThunkBase + 16 * t; }

constexpr uint64_t kHandlerInstructionBudget = 100'000;
constexpr size_t kViolationsKept = 32;
constexpr int kMaxChainedSmis = 1000;

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, v);
  return text;
}

bool Overlaps(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) { return a < b + bSize && b < a + aSize; }
bool Within(uint64_t a, uint64_t aSize, uint64_t first, uint64_t size) {
  return a >= first && aSize <= size && a - first <= size - aSize;
}

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
    if (run.figures_ == nullptr || run.stopped_) return;
    if (++run.figures_->instructions > run.instructionBudget_) {
      run.Stop("instruction budget of " + std::to_string(run.instructionBudget_) + " exhausted at " + Hex(address));
      return;
    }
    if (address >= kThunkBase && address < kThunkBase + kThunkSize) {
      if (run.mode_ == Mode::Handler) run.Violation("callout", "handler called out to firmware at " + Hex(address));
      run.Service(address);
      return;
    }
    bool inCode = false;
    for (const auto &r : run.codeRanges_) inCode = inCode || Within(address, size, r.first, r.second - r.first);
    if (!inCode) {
      if (run.mode_ == Mode::Handler)
        run.Violation("fetch", "instruction fetch outside the image's code at " + Hex(address));
      run.Stop("instruction fetch outside the image's code at " + Hex(address));
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
      const bool allowed = Within(address, width, kImageBase, run.image_.sizeOfImage) || stack ||
                           (address == sim::Platform::kGpioLockAddress && size == 1);
      if (!allowed)
        run.Violation("data", std::string("handler ") + (write ? "wrote " : "read ") + std::to_string(size) +
                                  " bytes at " + Hex(address) + " (rip " + Hex(Reg(uc, UC_X86_REG_RIP)) + ")");
      if (!write)
        for (uint64_t slot : run.bootServicesSlots_)
          if (Overlaps(address, width, slot, 8))
            run.Violation("boot-services pointer", "handler read the boot-services pointer held at " + Hex(slot));
    }

    // Between the image and the stack nothing lives: an access there is a
    // stack overflow or a stray pointer.
    const uint64_t imageEnd = kImageBase + run.image_.sizeOfImage;
    if (Overlaps(address, width, imageEnd, kStackTop - kStackSize - imageEnd)) {
      run.Stop(std::string(write ? "write to" : "read of") + " unused SMRAM at " + Hex(address) +
               " (stack overflow or stray pointer)");
      return;
    }

    if (!Within(address, width, sim::kPciExpressBase, sim::kPciExpressSize) &&
        run.devicePages_.count(address >> 12) == 0)
      return;
    if (size != 1 && size != 2 && size != 4) {
      run.Stop("device access of " + std::to_string(size) + " bytes at " + Hex(address));
      return;
    }
    ++run.figures_->memoryMappedAccesses;
    if (write) {
      run.platform_.bus.Write(sim::Space::Mem, address, size * 8, static_cast<uint32_t>(value));
    } else {
      // The page is ordinary RAM: fill it with the device's answer just before
      // the instruction reads it, so the access keeps its width.
      const uint32_t v = run.platform_.bus.Read(sim::Space::Mem, address, size * 8);
      uc_mem_write(uc, address, &v, static_cast<size_t>(size));
    }
  }

  static bool Unmapped(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t value, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    const char *what = type == UC_MEM_FETCH_UNMAPPED   ? "fetch from"
                       : type == UC_MEM_WRITE_UNMAPPED ? "write to"
                                                       : "read of";
    const std::string text =
        std::string(what) + " unmapped address " + Hex(address) + " (rip " + Hex(Reg(uc, UC_X86_REG_RIP)) + ")";
    if (run.mode_ == Mode::Handler) {
      run.Violation("unmapped", text);
    } else if (type != UC_MEM_FETCH_UNMAPPED && address >= kDeviceSpaceFirst && address < kDeviceSpaceEnd) {
      // Device space: the page becomes RAM that the memory hook fills from,
      // and forwards to, the bus (a device mapped there, or nothing).
      const uint64_t page = address & ~uint64_t{0xFFF};
      if (uc_mem_map(uc, page, 0x1000, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK) {
        run.devicePages_.insert(page >> 12);
        return true;  // the access is retried on the new page
      }
    }
    run.Stop(text);
    return false;
  }

  static uint32_t In(uc_engine *uc, uint32_t port, int size, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (run.figures_ != nullptr) ++run.figures_->portAccesses;
    if (run.mode_ == Mode::Handler) run.Violation("port", "handler read port " + Hex(port));
    return run.platform_.bus.Read(sim::Space::Io, port & 0xFFFF, size * 8);
  }

  static void Out(uc_engine *uc, uint32_t port, int size, uint32_t value, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (run.figures_ != nullptr) ++run.figures_->portAccesses;
    if (run.mode_ == Mode::Handler) run.Violation("port", "handler wrote port " + Hex(port));
    run.platform_.bus.Write(sim::Space::Io, port & 0xFFFF, size * 8, value);
  }

  static void Interrupt(uc_engine *uc, uint32_t number, void *user) {
    ImageRun &run = *static_cast<ImageRun *>(user);
    if (number == 3) {  // INT3: counted; execution goes on after it, as under a debugger that continues
      if (run.figures_ != nullptr) ++run.figures_->breakpoints;
      ++run.totalBreakpoints_;
      return;
    }
    run.Stop("interrupt " + std::to_string(number) + " at " + Hex(Reg(uc, UC_X86_REG_RIP)));
  }
};

ImageRun::ImageRun(sim::Platform &platform) : platform_(platform) {
  if (uc_open(UC_ARCH_X86, UC_MODE_64, &uc_) != UC_ERR_OK) {
    uc_ = nullptr;
    fault_ = "the emulator could not be opened";
    return;
  }
  bool ok = uc_mem_map(uc_, kBootServicesBase, kBootServicesSize, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK &&
            uc_mem_map(uc_, kThunkBase, kThunkSize, UC_PROT_READ | UC_PROT_EXEC) == UC_ERR_OK &&
            uc_mem_map(uc_, kSmramBase, kSmramSize, UC_PROT_ALL) == UC_ERR_OK &&
            uc_mem_map(uc_, sim::kPciExpressBase, sim::kPciExpressSize, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK;

  // Hooks before any code is translated: code hooks reach only code
  // translated after they are added.
  uc_hook h;
  ok = ok && uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(&Hooks::Code), this, 1, 0) == UC_ERR_OK;
  ok = ok && uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&Hooks::Memory), this,
                         1, 0) == UC_ERR_OK;
  ok = ok &&
       uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(&Hooks::Unmapped), this, 1, 0) == UC_ERR_OK;
  ok = ok &&
       uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::In), this, 1, 0, UC_X86_INS_IN) == UC_ERR_OK;
  ok = ok && uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::Out), this, 1, 0, UC_X86_INS_OUT) ==
                 UC_ERR_OK;
  ok = ok && uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(&Hooks::Interrupt), this, 1, 0) == UC_ERR_OK;
  if (!ok) {
    fault_ = "the emulator could not be set up";
    uc_close(uc_);
    uc_ = nullptr;
    return;
  }

  const uint8_t ret = 0xC3;
  for (uint64_t t = 0; t < kThunkCount; ++t) uc_mem_write(uc_, kThunkBase + 16 * t, &ret, 1);
  BuildTables();

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

void ImageRun::BuildTables() {
  sim::FakeFirmware &fw = platform_.firmware;
  auto fn = [](Thunk t) { return reinterpret_cast<void *>(ThunkAddress(t)); };
  const uint64_t trap = ThunkAddress(kUnusedService);
  auto fill = [&](void *table, size_t size) {  // every service slot traps unless set below
    for (size_t at = sizeof(EFI_TABLE_HEADER); at + 8 <= size; at += 8)
      std::memcpy(static_cast<uint8_t *>(table) + at, &trap, 8);
  };

  EFI_BOOT_SERVICES bs{};
  fill(&bs, sizeof bs);
  bs.Hdr = fw.BootServices()->Hdr;
  bs.Reserved = nullptr;
  bs.HandleProtocol = reinterpret_cast<EFI_HANDLE_PROTOCOL>(fn(kHandleProtocol));
  bs.LocateProtocol = reinterpret_cast<EFI_LOCATE_PROTOCOL>(fn(kLocateProtocol));
  WriteGuest(kBootServices, &bs, sizeof bs);

  EFI_SYSTEM_TABLE st{};
  st.Hdr = fw.SystemTable()->Hdr;
  st.BootServices = reinterpret_cast<EFI_BOOT_SERVICES *>(kBootServices);
  WriteGuest(kSystemTable, &st, sizeof st);

  EFI_SMM_BASE2_PROTOCOL base2{};
  base2.InSmm = reinterpret_cast<EFI_SMM_INSIDE_OUT2>(fn(kInSmm));
  base2.GetSmstLocation = reinterpret_cast<EFI_SMM_GET_SMST_LOCATION2>(fn(kGetSmstLocation));
  WriteGuest(kSmmBase2, &base2, sizeof base2);

  EFI_LOADED_IMAGE_PROTOCOL loaded = *fw.LoadedImage();
  loaded.SystemTable = reinterpret_cast<EFI_SYSTEM_TABLE *>(kSystemTable);
  loaded.ImageBase = reinterpret_cast<VOID *>(kImageBase);
  loaded.Unload = nullptr;
  WriteGuest(kLoadedImage, &loaded, sizeof loaded);

  EFI_SMM_SYSTEM_TABLE2 smst{};
  fill(&smst, sizeof smst);
  smst.Hdr = fw.Smst()->Hdr;
  smst.SmmFirmwareVendor = nullptr;
  smst.SmmFirmwareRevision = 0;
  smst.CurrentlyExecutingCpu = fw.Smst()->CurrentlyExecutingCpu;
  smst.NumberOfCpus = fw.Smst()->NumberOfCpus;
  smst.CpuSaveStateSize = nullptr;
  smst.CpuSaveState = nullptr;
  smst.NumberOfTableEntries = 0;
  smst.SmmConfigurationTable = nullptr;
  smst.SmmLocateProtocol = reinterpret_cast<EFI_SMM_LOCATE_PROTOCOL>(fn(kSmmLocateProtocol));
  WriteGuest(kSmst, &smst, sizeof smst);

  SMI_SOURCE_DISPATCH_PROTOCOL dispatch{};
  dispatch.Register = reinterpret_cast<SMI_SOURCE_REGISTER>(fn(kRegister));
  dispatch.UnRegister = reinterpret_cast<SMI_SOURCE_UNREGISTER>(fn(kUnRegister));
  WriteGuest(kSmiSourceDispatch, &dispatch, sizeof dispatch);
}

bool ImageRun::Load(const std::string &imagePath) {
  std::ifstream in(imagePath, std::ios::binary);
  if (!in) {
    fault_ = "cannot read the image " + imagePath;
    return false;
  }
  return LoadBytes(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

bool ImageRun::LoadBytes(const std::vector<uint8_t> &file) {
  if (uc_ == nullptr) return false;
  if (loaded_) {
    fault_ = "an image is already loaded";
    return false;
  }
  std::vector<uint8_t> memory;
  const char *error = pe::CheckDriverImage(file.data(), file.size(), image_);
  if (error == nullptr) {
    memory.resize(image_.sizeOfImage);
    error = pe::Load(image_, file.data(), file.size(), kImageBase, memory.data(), memory.size(), nullptr);
  }
  if (error == nullptr && memory.size() > kStackTop - kStackSize - kImageBase) error = "the image does not fit in SMRAM";
  if (error != nullptr) {
    fault_ = std::string("bad image: ") + error;
    return false;
  }
  WriteGuest(kImageBase, memory.data(), memory.size());
  codeRanges_.clear();
  for (uint16_t i = 0; i < image_.sectionCount; ++i) {
    const pe::Section &s = image_.sections[i];
    if (s.Executable()) codeRanges_.push_back({kImageBase + s.rva, kImageBase + s.rva + s.virtualSize});
  }
  loaded_ = true;
  return true;
}

EFI_STATUS ImageRun::RunEntryPoint() {
  if (!loaded_) {
    if (fault_.empty()) fault_ = "no image loaded";
    return kHarnessFault;
  }
  const uint64_t args[4] = {kImageHandle, kSystemTable, 0, 0};
  boot_ = {};
  instructionBudget_ = bootInstructionBudget;
  const EFI_STATUS status = Call(kImageBase + image_.entryRva, args, Mode::Boot, boot_);
  FindBootServicesSlots();
  return status;
}

EFI_STATUS ImageRun::CallHandler(uint64_t handler, uint64_t dispatchHandle, uint64_t context, uint64_t commBuffer,
                                 uint64_t commBufferSize) {
  if (!loaded_) return kHarnessFault;
  if (mode_ != Mode::Idle) {
    Stop("handler called while the image runs");
    return kHarnessFault;
  }
  const uint64_t args[4] = {dispatchHandle, context, commBuffer, commBufferSize};
  lastHandler_ = {};
  instructionBudget_ = kHandlerInstructionBudget;
  ++handlerRuns_;
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
  entryStackPointer_ = callerStack;
  lowestStackWrite_ = rsp;  // the return address the call pushed
  stopped_ = false;
  const uc_err err = uc_emu_start(uc_, function, returnAddress, 0, 0);
  const uint64_t rip = Reg(uc_, UC_X86_REG_RIP);
  figures.peakStackBytes = entryStackPointer_ - lowestStackWrite_;
  mode_ = Mode::Idle;
  figures_ = nullptr;

  EFI_STATUS status = Reg(uc_, UC_X86_REG_RAX);
  if (stopped_ || err != UC_ERR_OK || rip != returnAddress) {
    if (!stopped_) fault_ = std::string("emulation stopped: ") + uc_strerror(err) + " at " + Hex(rip);
    status = kHarnessFault;
  }

  // SMIs the run raised itself are taken now, by the outermost run only; a
  // handler that keeps raising its own SMI would never let the platform go
  // on, so the chain is cut with a fault.
  if (!drainingDeferred_) {
    drainingDeferred_ = true;
    for (int taken = 0; !deferredSmis_.empty(); ++taken) {
      if (taken == kMaxChainedSmis) {
        deferredSmis_.clear();
        if (fault_.empty()) fault_ = "SMIs raised by the image's own runs kept coming (" + std::to_string(taken) + ")";
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

void ImageRun::Stop(const std::string &fault) {
  if (!stopped_) fault_ = fault;
  stopped_ = true;
  uc_emu_stop(uc_);
}

void ImageRun::Violation(const char *kind, const std::string &what) {
  ++violationCount_;
  violationKinds_.insert(kind);
  if (violations_.size() < kViolationsKept) violations_.push_back(what);
}

uint64_t ImageRun::GuestOf(const void *host) const {
  sim::FakeFirmware &fw = platform_.firmware;
  if (host == nullptr) return 0;
  if (host == fw.SystemTable()) return kSystemTable;
  if (host == fw.BootServices()) return kBootServices;
  if (host == fw.SmmBase2()) return kSmmBase2;
  if (host == fw.LoadedImage()) return kLoadedImage;
  if (host == fw.Smst()) return kSmst;
  if (host == fw.SmiSourceDispatch()) return kSmiSourceDispatch;
  if (host == fw.ImageHandle()) return kImageHandle;
  return 0;
}

void ImageRun::Service(uint64_t thunk) {
  sim::FakeFirmware &fw = platform_.firmware;
  const uint64_t a0 = Reg(uc_, UC_X86_REG_RCX), a1 = Reg(uc_, UC_X86_REG_RDX), a2 = Reg(uc_, UC_X86_REG_R8),
                 a3 = Reg(uc_, UC_X86_REG_R9);
  EFI_STATUS status = EFI_SUCCESS;

  // A pointer the guest passes is copied in before the call and its target
  // copied back after it, as the firmware would read and write guest memory.
  auto guid = [&](uint64_t at, EFI_GUID &out) {
    if (at != 0 && ReadGuest(at, &out, sizeof out)) return true;
    if (at != 0) Stop("firmware service given an unreadable GUID pointer " + Hex(at));
    return false;
  };
  auto storePointer = [&](uint64_t at, const void *host) {
    const uint64_t guest = GuestOf(host);
    if (host != nullptr && guest == 0) Stop("the fake firmware returned an interface the harness does not map");
    if (!WriteGuest(at, &guest, 8)) Stop("firmware service given an unwritable pointer " + Hex(at));
  };
  auto locate = [&](auto service) {
    EFI_GUID g;
    if (!guid(a0, g)) return EFI_INVALID_PARAMETER;
    void *host = nullptr;
    const EFI_STATUS s = service(g, a2 != 0 ? &host : nullptr);
    if (a2 != 0) storePointer(a2, host);
    return s;
  };

  switch ((thunk - kThunkBase) / 16) {
    case kHandleProtocol: {
      EFI_GUID g;
      if (!guid(a1, g)) {
        status = EFI_INVALID_PARAMETER;
        break;
      }
      const EFI_HANDLE handle = a0 == kImageHandle ? fw.ImageHandle() : reinterpret_cast<EFI_HANDLE>(a0);
      void *host = nullptr;
      status = fw.HandleProtocol(handle, g, a2 != 0 ? &host : nullptr);
      if (a2 != 0) storePointer(a2, host);
      break;
    }
    case kLocateProtocol:
      status = locate([&](const EFI_GUID &g, void **out) { return fw.LocateProtocol(g, out); });
      break;
    case kSmmLocateProtocol:
      status = locate([&](const EFI_GUID &g, void **out) { return fw.SmmLocateProtocol(g, out); });
      break;
    case kInSmm: {
      BOOLEAN inSmram = 0;
      status = fw.InSmm(a1 != 0 ? &inSmram : nullptr);
      if (a1 != 0 && !WriteGuest(a1, &inSmram, 1)) Stop("InSmm given an unwritable pointer " + Hex(a1));
      break;
    }
    case kGetSmstLocation: {
      EFI_SMM_SYSTEM_TABLE2 *smst = nullptr;
      status = fw.GetSmstLocation(a1 != 0 ? &smst : nullptr);
      if (a1 != 0) storePointer(a1, smst);
      break;
    }
    case kRegister: {
      uint32_t source = 0;
      if (a2 != 0 && !ReadGuest(a2, &source, sizeof source)) {
        Stop("Register given an unreadable context " + Hex(a2));
        break;
      }
      uint64_t handle = 0;
      if (a3 != 0) ReadGuest(a3, &handle, 8);
      EFI_HANDLE hostHandle = reinterpret_cast<EFI_HANDLE>(handle);
      status = fw.RegisterGuest(a1, a2 != 0 ? &source : nullptr, a3 != 0 ? &hostHandle : nullptr);
      handle = reinterpret_cast<uint64_t>(hostHandle);
      if (a3 != 0 && !WriteGuest(a3, &handle, 8)) Stop("Register given an unwritable handle pointer " + Hex(a3));
      break;
    }
    case kUnRegister:
      ++fw.calls.unregisterHandler;
      status = EFI_UNSUPPORTED;
      break;
    default:
      Stop("the image called a firmware service it has no business calling (thunk " + Hex(thunk) + ", return " +
           Hex([&] {
             uint64_t r = 0;
             ReadGuest(Reg(uc_, UC_X86_REG_RSP), &r, 8);
             return r;
           }()) +
           ")");
      return;
  }
  SetReg(uc_, UC_X86_REG_RAX, status);
}

void ImageRun::FindBootServicesSlots() {
  bootServicesSlots_.clear();
  for (uint64_t at = kImageBase; at + 8 <= kImageBase + image_.sizeOfImage; at += 8) {
    uint64_t v = 0;
    ReadGuest(at, &v, 8);
    if (Within(v, 1, kBootServicesBase, kBootServicesSize) || Within(v, 1, kThunkBase, kThunkSize))
      bootServicesSlots_.push_back(at);
  }
}

}  // namespace harness
