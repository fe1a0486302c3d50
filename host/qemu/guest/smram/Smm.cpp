// The SMRAM program: the SMI dispatcher and the small SMM core it plays for
// the one driver.  It lives in TSEG, runs only in SMM, and reaches outside
// SMRAM only for the mailbox (and, while loading, the image's bytes, which
// it copies into SMRAM and checks before it uses them).
//
// APM commands (port 0xB2 reads back the last one written):
//   APM_LOAD_DRIVER  copy the image into SMRAM, verify its CRC-32, load and
//                    relocate it with the project's PE reader, set its print
//                    level, and call its entry point with firmware tables
//                    built from the UEFI and PI layouts;
//   APM_GPIO_UNLOCK  the stand-in for the GPIO-unlock SMI source: call every
//                    handler registered for source 48;
//   anything else    counted and ignored.
// Writes to MARKER_PORT bracket the driver's own code, so the host can cut
// the driver's register accesses out of QEMU's trace.
//
// Once the driver is loaded, SMM runs on page tables a careful SMM core
// sets: this program's code and the image's code read-only and executable,
// their data and stacks not executable, nothing outside SMRAM executable;
// page 0, the RAM outside SMRAM and the device space not present, but for
// the mailbox and the lock's PCI function; and the boot-services tables not
// present while a handler runs.  Each SMI ends as the ICH9 wants it: the
// APM status cleared, End-of-SMI set.
#include "Guest.h"
#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"
#include "SmiSourceDispatch.h"
#include "Uefi.h"
#include "pe/PeReader.h"
#include "tables/Crc32.h"
#include "tables/FirmwareTables.h"

using namespace guest;

extern "C" {
extern uint8_t __smm_end[], __smm_code_end[], __smm_rodata_end[];
extern const uint8_t relocation_stub[], relocation_stub_end[];
extern const uint8_t smi_entry[], smi_entry_end[];
extern const uint64_t kVectorStubs[kVectors];
alignas(16) IdtGate gSmmIdt[kVectors];
void SmiDispatch(uint32_t cpu, uint32_t cpus);
void OnException(ExceptionFrame *frame);
}

// Not const: the program outside SMM fills in the mailbox before T_EN.
__attribute__((section(".smm_header"), used)) SmmHeader gSmmHeader = {
    kSmmMagic,
    reinterpret_cast<uint64_t>(&gSmmHeader),
    reinterpret_cast<uint64_t>(__smm_end),
    reinterpret_cast<uint64_t>(gSmmIdt),
    reinterpret_cast<uint64_t>(kVectorStubs),
    0,
    reinterpret_cast<uint64_t>(relocation_stub),
    reinterpret_cast<uint64_t>(relocation_stub_end),
    reinterpret_cast<uint64_t>(smi_entry),
    reinterpret_cast<uint64_t>(smi_entry_end),
};

namespace {

// SMRAM for the driver: its file while it is checked, and its loaded image.
constexpr size_t kFileRoom = 256 * 1024;
constexpr size_t kImageRoom = 384 * 1024;
alignas(4096) uint8_t gFile[kFileRoom];
alignas(4096) uint8_t gImage[kImageRoom];
pe::Headers gHeaders;
bool gLoadTried;
uint32_t gBreakpoints;
bool gInEntry;         // the driver's entry point is running
uint64_t gUnlockSmis;  // unlock SMIs dispatched so far
uint32_t gExecutingCpu, gCpuCount = 1;  // the CPU dispatching this SMI, of how many (from the rendezvous)

// The firmware tables the driver is given.
// On a page of their own, which a handler cannot reach; the SMM ones (the
// SMST, the dispatcher) are copied out of it, for a handler may use those.
struct alignas(PAGE_SIZE) BootTablesPage {
  tables::Tables tables;
};
static_assert(sizeof(BootTablesPage) == PAGE_SIZE, "one page");
BootTablesPage gBootTablesPage;
tables::Tables &gTables = gBootTablesPage.tables;
EFI_SMM_SYSTEM_TABLE2 gSmst;
SMI_SOURCE_DISPATCH_PROTOCOL gDispatch;
uint64_t gImageHandleObject;
const EFI_HANDLE gImageHandle = &gImageHandleObject;

constexpr EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constexpr EFI_GUID kSmmBase2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
constexpr EFI_GUID kSmiSourceDispatchGuid = SMI_SOURCE_DISPATCH_PROTOCOL_GUID;

struct Registration {
  SMI_SOURCE_HANDLER handler;
  uint32_t source;  // copied from the context at Register
};
constexpr int kMaxRegistrations = 4;
Registration gRegistrations[kMaxRegistrations];
int gRegistrationCount;

Mailbox &TheMailbox() { return *reinterpret_cast<Mailbox *>(gSmmHeader.mailbox); }

// Taken into SMRAM once from the mailbox.
uint64_t gPcieBase;
uint16_t gPmBase;

// 4 KiB pages where 2 MiB ones are too coarse: the first 2 MiB, TSEG's
// 2 MiB, and the 2 MiB of the window that hold the lock's PCI function.
alignas(PAGE_SIZE) uint64_t gLowPages[512], gTsegPages[512], gWindowPages[512];
bool gStrictPages;  // the tables below are in force
constexpr uint64_t kTsegRegion = TSEG_BASE & ~uint64_t{LARGE_PAGE_SIZE - 1};
constexpr uint64_t kReadOnlyCode = PTE_PRESENT, kReadOnlyData = PTE_PRESENT | PTE_NX,
                   kData = PTE_PRESENT | PTE_WRITABLE | PTE_NX;

bool In(uint64_t at, const void *first, const void *end) {
  return at >= reinterpret_cast<uint64_t>(first) && at < reinterpret_cast<uint64_t>(end);
}

// What one 4 KiB page of TSEG may be used for.
uint64_t TsegPage(uint64_t page) {
  if (page < TSEG_BASE) return 0;  // RAM below SMRAM
  if (page >= SMM_SMBASE + SMM_ENTRY_OFFSET && page < SMM_SMBASE + SMM_ENTRY_OFFSET + SMM_ENTRY_AREA_SIZE)
    return page | kReadOnlyCode;  // the CPUs' SMI entries
  if (page < SMM_PROGRAM) return page | kData;  // header, page tables, state save maps
  if (page < reinterpret_cast<uint64_t>(__smm_code_end)) return page | kReadOnlyCode;
  if (page < reinterpret_cast<uint64_t>(__smm_rodata_end)) return page | kReadOnlyData;
  if (In(page, gImage, gImage + sizeof gImage)) {
    const uint64_t rva = page - reinterpret_cast<uint64_t>(gImage);
    if (rva >= gHeaders.sizeOfImage) return 0;
    for (uint16_t i = 0; i < gHeaders.sectionCount; ++i) {
      const pe::Section &s = gHeaders.sections[i];
      if (rva < s.rva || rva - s.rva >= s.virtualSize) continue;
      if (s.Executable()) return page | kReadOnlyCode;
      return page | (s.Writable() ? kData : kReadOnlyData);
    }
    return page | kReadOnlyData;  // the headers
  }
  if (page < reinterpret_cast<uint64_t>(__smm_end)) return page | kData;
  return 0;  // TSEG this program does not use
}

void ReloadPageTables() {
  uint64_t cr3;
  asm volatile("mov %%cr3, %0" : "=r"(cr3));
  asm volatile("mov %0, %%cr3" : : "r"(cr3) : "memory");
}

// From the identity map the program outside SMM built to these tables.
void TightenPageTables() {
  auto *directories = reinterpret_cast<uint64_t *>(SMM_PAGE_TABLES) + 2 * 512;
  const uint64_t mailbox = gSmmHeader.mailbox;
  for (uint64_t i = 0; i < 512; ++i) {
    const uint64_t page = i * PAGE_SIZE;
    const bool forMailbox = page + PAGE_SIZE > mailbox && page < mailbox + sizeof(Mailbox);
    gLowPages[i] = forMailbox && page != 0 ? page | kData : 0;
    gTsegPages[i] = TsegPage(kTsegRegion + i * PAGE_SIZE);
    gWindowPages[i] = 0;
  }
  const uint64_t lpc = gPcieBase + PCIE_FUNCTION_OFFSET(LPC_DEVICE, LPC_FUNCTION);
  gWindowPages[(lpc % LARGE_PAGE_SIZE) / PAGE_SIZE] = lpc | kData;
  // TSEG first, where this code runs and these tables lie; then the rest.
  const uint64_t tseg = kTsegRegion / LARGE_PAGE_SIZE;
  directories[tseg] = reinterpret_cast<uint64_t>(gTsegPages) | PTE_PRESENT | PTE_WRITABLE;
  ReloadPageTables();
  for (uint64_t i = 0; i < 4 * 512; ++i)
    if (i != tseg) directories[i] = 0;
  directories[0] = reinterpret_cast<uint64_t>(gLowPages) | PTE_PRESENT | PTE_WRITABLE;
  directories[lpc / LARGE_PAGE_SIZE] = reinterpret_cast<uint64_t>(gWindowPages) | PTE_PRESENT | PTE_WRITABLE;
  ReloadPageTables();
  gStrictPages = true;
}

// The boot-services tables' page, present or not.
void BootTablesPresent(bool present) {
  if (!gStrictPages) return;
  const uint64_t page = reinterpret_cast<uint64_t>(&gBootTablesPage);
  uint64_t &entry = gTsegPages[(page - kTsegRegion) / PAGE_SIZE];
  entry = present ? entry | PTE_PRESENT : entry & ~uint64_t{PTE_PRESENT};
  asm volatile("invlpg (%0)" : : "r"(page) : "memory");
}

// The end of an SMI as the ICH9 wants it: the status this dispatcher served
// cleared (write 1 to clear), then End-of-SMI, so the next SMI# can come.
void FinishSmi() {
  if (gPmBase == 0) return;
  Out32(static_cast<uint16_t>(gPmBase + ICH9_SMI_STS), In32(static_cast<uint16_t>(gPmBase + ICH9_SMI_STS)) & SMI_STS_APM);
  const uint16_t smiEn = static_cast<uint16_t>(gPmBase + ICH9_SMI_EN);
  Out32(smiEn, In32(smiEn) | SMI_EN_EOS);
}

bool SameGuid(const EFI_GUID *a, const EFI_GUID &b) {
  if (a == nullptr) return false;
  const uint8_t *x = reinterpret_cast<const uint8_t *>(a);
  const uint8_t *y = reinterpret_cast<const uint8_t *>(&b);
  for (size_t i = 0; i < sizeof b; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

uint64_t ImageRva(uint64_t address) {
  const uint64_t base = reinterpret_cast<uint64_t>(gImage);
  return address - base < gHeaders.sizeOfImage ? address - base : ~uint64_t{0};
}

// Inside SMM the state save map's revision reads as QEMU's 64-bit map; code
// outside SMM reads all ones there.
BOOLEAN InSmramNow() { return Load<uint32_t>(SMM_SMBASE + SAVE_STATE_REVISION) == SMM_REVISION_64 ? 1 : 0; }

// "during=boot" or "during=smi smi=N": which run of the driver's code it was.
template <typename Topic>
void SayDuring(Line<Topic> &line) {
  line.Text(Topic::kDuring, gInEntry ? "boot" : "smi");
  if (!gInEntry) line.Dec(Topic::kSmi, gUnlockSmis);
}

[[noreturn]] void FailRun(const char *reason) {
  Line<report::Result>().Text(report::Result::kVerdict, "fail").Text(report::Result::kReason, reason);
  Exit(EXIT_FAIL);
}

[[noreturn]] void Fail(const char *what, uint64_t caller) {
  Out8(MARKER_PORT, MARK_SMI_END);  // what follows is the report, not the driver's own access
  {
    using report::Fault;
    Line<Fault> line;
    line.Text(Fault::kWhere, "smm");
    SayDuring(line);
    line.Text(Fault::kWhat, what);
    const uint64_t rva = ImageRva(caller);
    if (rva != ~uint64_t{0}) line.Hex(Fault::kRva, rva);
  }
  FailRun("smm-fault");
}

// Every table slot the driver has no business calling.
EFI_STATUS EFIAPI UnexpectedService() {
  Fail("the-image-called-a-firmware-service-it-has-no-business-calling",
       reinterpret_cast<uint64_t>(__builtin_return_address(0)));
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, EFI_GUID *protocol, VOID **iface) {
  if (iface == nullptr) return EFI_INVALID_PARAMETER;
  *iface = nullptr;
  if (handle != gImageHandle || !SameGuid(protocol, kLoadedImageGuid)) return EFI_UNSUPPORTED;
  *iface = &gTables.loadedImage;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *protocol, VOID *, VOID **iface) {
  if (iface == nullptr) return EFI_INVALID_PARAMETER;
  *iface = SameGuid(protocol, kSmmBase2Guid) ? &gTables.smmBase2 : nullptr;
  return *iface != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL *, BOOLEAN *inSmram) {
  if (inSmram == nullptr) return EFI_INVALID_PARAMETER;
  *inSmram = InSmramNow();
  Mailbox &m = TheMailbox();
  m.inSmmAnswer = *inSmram;
  ++m.inSmmCalls;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *, EFI_SMM_SYSTEM_TABLE2 **smst) {
  if (smst == nullptr) return EFI_INVALID_PARAMETER;
  *smst = &gSmst;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmLocateProtocol(EFI_GUID *protocol, VOID *, VOID **iface) {
  if (iface == nullptr) return EFI_INVALID_PARAMETER;
  *iface = SameGuid(protocol, kSmiSourceDispatchGuid) ? &gDispatch : nullptr;
  return *iface != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI Register(SMI_SOURCE_DISPATCH_PROTOCOL *, SMI_SOURCE_HANDLER handler, VOID *context,
                           EFI_HANDLE *handle) {
  if (handler == nullptr || context == nullptr || handle == nullptr) return EFI_INVALID_PARAMETER;
  if (gRegistrationCount == kMaxRegistrations) return EFI_OUT_OF_RESOURCES;
  Registration &r = gRegistrations[gRegistrationCount++];
  r = {handler, *static_cast<const uint32_t *>(context)};
  *handle = &r;
  Mailbox &m = TheMailbox();
  m.registrations = static_cast<uint32_t>(gRegistrationCount);
  m.sources[gRegistrationCount - 1] = r.source;
  return EFI_SUCCESS;
}

template <typename Function>
uint64_t Address(Function f) {
  return reinterpret_cast<uint64_t>(f);
}

void BuildTables() {
  const tables::Services services = {Address(HandleProtocol),    Address(LocateProtocol),    Address(InSmm),
                                     Address(GetSmstLocation),   Address(SmmLocateProtocol), Address(Register),
                                     Address(UnexpectedService),  // a handler is never unregistered here
                                     Address(UnexpectedService)};
  tables::Build(services,
                {Address(&gTables.systemTable), Address(&gTables.bootServices), Address(gImage), gHeaders.sizeOfImage},
                gTables);
  gSmst = gTables.smst;
  gDispatch = gTables.dispatch;
  gSmst.CurrentlyExecutingCpu = gExecutingCpu;  // the rendezvous's, not the one-CPU default
  gSmst.NumberOfCpus = gCpuCount;
}

void Refuse(Mailbox &m, const char *why) {
  size_t n = 0;
  for (; why[n] != 0 && n + 1 < sizeof m.loadError; ++n) m.loadError[n] = why[n] == ' ' ? '-' : why[n];  // one word
  m.loadError[n] = 0;
}

using EntryPoint = EFI_STATUS(EFIAPI *)(EFI_HANDLE, EFI_SYSTEM_TABLE *);

}  // namespace

// Called with the image in place, before its entry runs: a debugger stops
// here (the rig's gdb command file does) to load the driver's symbols at
// `base`.  Out of line, under a plain name.
extern "C" __attribute__((noinline, used)) void DriverLoadedAt(uint64_t base) { asm volatile("" : : "r"(base)); }

namespace {

void LoadAndStartDriver(Mailbox &m) {
  if (gLoadTried) return Refuse(m, "a-driver-is-loaded-once");
  gLoadTried = true;
  // The request lies outside SMRAM: take it in once.
  const uint64_t from = m.imageAddress;
  const uint32_t size = m.imageSize, crc = m.imageCrc, level = m.printLevel, levelRva = m.printLevelRva;
  gPcieBase = m.pcieBase & ~uint64_t{PCIEXBAR_ALIGNMENT - 1};
  if (size > kFileRoom) return Refuse(m, "image-larger-than-its-room-in-smram");
  for (uint32_t i = 0; i < size; ++i) gFile[i] = Load<uint8_t>(from + i);
  m.imageCrcSeen = tables::Crc32(gFile, size);
  if (m.imageCrcSeen != crc) return Refuse(m, "image-checksum-mismatch");
  const char *error = pe::CheckLoadableImage(gFile, size, gHeaders);
  if (error == nullptr && gHeaders.sizeOfImage > kImageRoom) error = "image-larger-than-its-room-in-smram";
  if (error == nullptr)
    error = pe::Load(gHeaders, gFile, size, reinterpret_cast<uint64_t>(gImage), gImage, sizeof gImage, nullptr);
  if (error == nullptr && levelRva != 0 && (levelRva > gHeaders.sizeOfImage - 4 || (levelRva & 3) != 0))
    error = "print-level-outside-the-image";
  if (error != nullptr) return Refuse(m, error);
  if (levelRva != 0) *reinterpret_cast<uint32_t *>(gImage + levelRva) = level;

  BuildTables();
  TightenPageTables();
  m.imageBase = reinterpret_cast<uint64_t>(gImage);
  m.loaded = 1;
  DriverLoadedAt(m.imageBase);
  const uint32_t mxcsr = MXCSR_RESET;  // the value firmware runs with
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
  const auto entry = reinterpret_cast<EntryPoint>(gImage + gHeaders.entryRva);
  gInEntry = true;
  Out8(MARKER_PORT, MARK_ENTRY_BEGIN);
  const EFI_STATUS status = entry(gImageHandle, &gTables.systemTable);
  Out8(MARKER_PORT, MARK_ENTRY_END);
  gInEntry = false;
  m.entryStatus = status;
}

void DispatchGpioUnlock(Mailbox &m) {
  for (int i = 0; i < gRegistrationCount; ++i) {
    Registration &r = gRegistrations[i];
    if (r.source != GPIO_UNLOCK_SMI_SOURCE) continue;
    gSmst.CurrentlyExecutingCpu = gExecutingCpu;
    gSmst.NumberOfCpus = gCpuCount;
    m.mp.smstCpus = static_cast<uint32_t>(gSmst.NumberOfCpus);
    m.mp.smstExecuting = static_cast<uint32_t>(gSmst.CurrentlyExecutingCpu);
    BootTablesPresent(false);
    Out8(MARKER_PORT, MARK_SMI_BEGIN);
    const EFI_STATUS status = r.handler(&r, &r.source, nullptr, nullptr);
    Out8(MARKER_PORT, MARK_SMI_END);
    BootTablesPresent(true);
    m.lastHandlerStatus = status;
    ++m.handlerCalls;
    if (status != EFI_SUCCESS && m.handlerErrors++ == 0) {
      m.firstHandlerError = status;
      m.firstHandlerErrorSmi = gUnlockSmis;
    }
  }
}

}  // namespace

extern "C" void SmiDispatch(uint32_t cpu, uint32_t cpus) {
  // Called with RSP 16-byte aligned, so the frame is too (SmiEntry.S says why).
  if ((reinterpret_cast<uint64_t>(__builtin_frame_address(0)) & 15) != 0) FailRun("smm-stack-misaligned");
  Mailbox &m = TheMailbox();
  gExecutingCpu = cpu;
  if (gPmBase == 0) gPmBase = static_cast<uint16_t>(m.pmBase & 0xFF80);
  gCpuCount = cpus;
  const uint8_t command = In8(APM_CONTROL_PORT);
  m.smbase = Load<uint32_t>(SMM_SMBASE + SAVE_STATE_SMBASE);
  if (command == APM_LOAD_DRIVER) {
    LoadAndStartDriver(m);
  } else if (command == APM_GPIO_UNLOCK) {
    ++gUnlockSmis;
    DispatchGpioUnlock(m);
  } else {
    ++m.unknownCommands;
  }
  m.lastCommand = command;
  m.breakpoints = gBreakpoints;
  FinishSmi();
  __atomic_store_n(&m.smis, m.smis + 1, __ATOMIC_RELEASE);
}

// Breakpoints (the driver's assertion reports end in INT3) are counted and
// stepped over; any other exception in SMM is reported and ends the run.
extern "C" void OnException(ExceptionFrame *frame) {
  if (frame->vector == VECTOR_BREAKPOINT) {
    ++gBreakpoints;
    return;
  }
  Out8(MARKER_PORT, MARK_SMI_END);  // what follows is the report, not the driver's own access
  {
    using report::Exception;
    Line<Exception> line;
    line.Text(Exception::kWhere, "smm");
    SayDuring(line);
    line.Dec(Exception::kVector, frame->vector).Hex(Exception::kError, frame->error).Hex(Exception::kRip, frame->rip);
    const uint64_t rva = ImageRva(frame->rip);
    if (rva != ~uint64_t{0}) line.Hex(Exception::kRva, rva);
    if (frame->vector == VECTOR_PAGE_FAULT) {
      uint64_t cr2;
      asm volatile("mov %%cr2, %0" : "=r"(cr2));
      line.Hex(Exception::kCr2, cr2);
      if (In(cr2, &gBootTablesPage, &gBootTablesPage + 1)) line.Dec(Exception::kBootServicesTables, 1);
    }
  }
  FailRun("smm-exception");
}
