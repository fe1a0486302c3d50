// The program outside SMM: it plays the platform firmware up to the SMM core
// (PCI Express window, SMRAM, SMBASE relocation), has the SMI dispatcher load
// the driver, locks SMRAM, and then acts as the attacker.  Everything it
// finds goes to the debug console as "topic key=value" lines (qemu/Report.h);
// it exits through isa-debug-exit, passing only when every check that
// applies held.
//
// Parameters (PVH command line, "key=value" words):
//   image-size, image-crc  the driver's file (the first PVH module), checked
//   driver=0|1             have the dispatcher load it (0: the negative control)
//   print-level, print-level-rva  the driver's print-level variable and its RVA
//   cmos                   CMOS byte 0x6F before the driver starts
//   pcie-base              where PCIEXBAR puts the PCI Express window: the
//                          base the driver was built for (a 256 MiB multiple
//                          below 4 GiB; default: the configured board's)
//   attempts               attacker clears, each followed by the unlock SMI
//   idle-smis              unlock SMIs with the lock left set
//   protection=0|1         the SMRAM protection checks after the attacks
//   cpus                   CPUs in the machine (QEMU's -smp), every one in SMM
//   cpu1-attempts          clears by the attacker on CPU 1, while CPU 0 is busy
//   attack                 a named attack (sim/Attack.h's kind) instead of the plain clears
//   mp-fault=0|1|2         a fault built on purpose: none, SMI broadcast not
//                          negotiated, CPU 1 given CPU 0's SMBASE
#include "GpioLock.h"
#include "Outside.h"
#include VEXA_CONFIGURED_BOARD_SETTINGS

using namespace guest;
using namespace report;

extern "C" {
Mailbox gMailbox;
alignas(16) IdtGate gIdt[kVectors];
[[noreturn]] void GuestMain(uint32_t startInfo);
void OnException(ExceptionFrame *frame);
void *memcpy(void *dest, const void *src, size_t size);
void *memset(void *dest, int value, size_t size);
}

namespace {

using guest::Check;  // not report::Check, the topic

// Where the driver's file waits outside SMRAM (QEMU puts the module near the
// top of RAM, inside what becomes TSEG).
constexpr uint64_t kFileStaging = 0x01000000;
constexpr uint64_t kMaxFile = 0x00100000;
// An SMI is taken at the end of a translation block; polls give up after this.
constexpr uint64_t kSmiPolls = 50'000'000;

constexpr uint64_t kNoNamedAttack = ~0ull;

struct Params {
  uint64_t imageSize = 0, imageCrc = 0, driver = 1, printLevel = 0, printLevelRva = 0, cmos = 0, attempts = 10,
           idleSmis = 0, protection = 0, pcieBase = VEXA_BOARD_PCI_EXPRESS_BASE_ADDRESS, cpus = 1, cpu1Attempts = 0, mpFault = kFaultNone,
           attack = kNoNamedAttack;
};

bool failed = false;

}  // namespace

void guest::Check(bool ok, const char *what) {
  if (ok) return;
  failed = true;
  Line<report::Check>().Text(report::Check::kFailed, what);
}

[[noreturn]] void guest::Finish(const char *reason) {
  {
    Line<Result> line;
    line.Text(Result::kVerdict, failed || reason != nullptr ? "fail" : "pass");
    if (reason != nullptr) line.Text(Result::kReason, reason);
  }
  Exit(failed || reason != nullptr ? EXIT_FAIL : EXIT_PASS);
}

namespace {

bool Word(const char *&p, const char *key, uint64_t &out) {
  size_t n = 0;
  while (key[n] != 0 && p[n] == key[n]) ++n;
  if (key[n] != 0 || p[n] != '=') return false;
  const char *q = p + n + 1;
  uint64_t v = 0, base = 10;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) {
    base = 16;
    q += 2;
  }
  for (;; ++q) {
    const char c = *q;
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : 99;
    if (d >= static_cast<int>(base)) break;
    v = v * base + static_cast<uint64_t>(d);
  }
  out = v;
  p = q;
  return true;
}

void ParseCommandLine(const char *p, Params &o) {
  while (*p != 0) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    if (!(Word(p, "image-size", o.imageSize) || Word(p, "image-crc", o.imageCrc) || Word(p, "driver", o.driver) ||
          Word(p, "print-level-rva", o.printLevelRva) || Word(p, "print-level", o.printLevel) ||
          Word(p, "cmos", o.cmos) || Word(p, "attempts", o.attempts) || Word(p, "idle-smis", o.idleSmis) ||
          Word(p, "protection", o.protection) || Word(p, "pcie-base", o.pcieBase) || Word(p, "cpus", o.cpus) ||
          Word(p, "cpu1-attempts", o.cpu1Attempts) || Word(p, "mp-fault", o.mpFault) ||
          Word(p, "attack", o.attack))) {
      Check(false, "unknown-parameter");
      Finish("bad-command-line");
    }
  }
}

// QEMU's PVH start info (version 1) and its module list.
struct StartInfo {
  uint32_t magic, version, flags, moduleCount;
  uint64_t modules, commandLine, rsdp;
};
struct Module {
  uint64_t address, size, commandLine, reserved;
};

}  // namespace

uint64_t guest::gLastSmiPolls;

bool guest::RaiseSmi(uint8_t command) {
  const uint32_t before = __atomic_load_n(&gMailbox.smis, __ATOMIC_ACQUIRE);
  __atomic_fetch_add(&gMailbox.mp.raised, 1, __ATOMIC_ACQ_REL);  // what the dispatcher takes for the source's status
  Out8(APM_CONTROL_PORT, command);
  for (uint64_t i = 0; i < kSmiPolls; ++i)
    if (__atomic_load_n(&gMailbox.smis, __ATOMIC_ACQUIRE) != before) {
      gLastSmiPolls = i;
      return true;
    }
  Line<Smi>().Dec(Smi::kTaken, 0).Hex(Smi::kCommand, command);
  return false;
}

namespace {

void SetSmram(uint8_t smram) { ConfigWrite8(0, 0, MCH_SMRAM, smram); }

// Bytes of TSEG that do not read as all ones from here, read a dword at a
// time (QEMU answers hidden SMRAM at most four bytes per access).
uint64_t VisibleTsegBytes() {
  uint64_t visible = 0;
  for (uint64_t at = TSEG_BASE; at < TSEG_BASE + TSEG_SIZE; at += 4) {
    const uint32_t v = Load<uint32_t>(at);
    if (v != 0xFFFFFFFFu)
      for (int b = 0; b < 4; ++b) visible += ((v >> (8 * b)) & 0xFF) != 0xFF ? 1 : 0;
  }
  return visible;
}

// One attacker round: clear the lock through ECAM, raise the unlock SMI, read
// the lock back.  True when it came back set.
bool AttackOnce(uint64_t pcieBase, bool clear, bool &smiTaken) {
  const uint64_t lock = pcieBase + GPIO_LOCK_REGISTER_OFFSET;
  if (clear) Store<uint8_t>(lock, static_cast<uint8_t>(Load<uint8_t>(lock) & ~GPIO_LOCK_BIT));
  smiTaken = RaiseSmi(APM_GPIO_UNLOCK);
  return (Load<uint8_t>(lock) & GPIO_LOCK_BIT) != 0;
}

// The exception vectors of this program.
void LoadIdt() {
  FillIdt(gIdt, kVectorStubs);
  const struct __attribute__((packed)) {
    uint16_t limit;
    uint64_t base;
  } idtr = {sizeof gIdt - 1, reinterpret_cast<uint64_t>(gIdt)};
  asm volatile("lidt %0" : : "m"(idtr));
}

// Parameters from the command line, and the driver's file (the first module)
// staged where the dispatcher will copy it from.  Returns the file's size.
uint64_t ReadStartInfo(uint32_t startInfoAddress, Params &o) {
  const auto &start = *reinterpret_cast<const StartInfo *>(uint64_t{startInfoAddress});
  if (start.magic != PVH_START_INFO_MAGIC) Finish("no-pvh-start-info");
  if (start.commandLine != 0) ParseCommandLine(reinterpret_cast<const char *>(start.commandLine), o);
  if (o.driver == 0) return 0;
  if (start.moduleCount < 1) Finish("no-image-module");
  const auto &module = *reinterpret_cast<const Module *>(start.modules);
  const uint64_t fileSize = module.size;
  if (fileSize != o.imageSize || fileSize > kMaxFile) Finish("image-size-mismatch");
  memcpy(reinterpret_cast<void *>(kFileStaging), reinterpret_cast<const void *>(module.address), fileSize);
  return fileSize;
}

// The PCI Express window where the driver expects it (disabled while it
// moves); it must lie above RAM and below 4 GiB, in 256 MiB steps.
void MovePciExpressWindow(uint64_t base) {
  if ((base & (PCIEXBAR_ALIGNMENT - 1)) != 0 || base < TSEG_BASE + TSEG_SIZE || base > 0x100000000 - PCIEXBAR_ALIGNMENT)
    Finish("pcie-base-out-of-range");
  ConfigWrite32(0, 0, MCH_PCIEXBAR, 0);
  ConfigWrite32(0, 0, MCH_PCIEXBAR + 4, 0);
  ConfigWrite32(0, 0, MCH_PCIEXBAR, static_cast<uint32_t>(base) | PCIEXBAR_ENABLE);
  const uint32_t lpcId = Load<uint32_t>(base + PCIE_FUNCTION_OFFSET(LPC_DEVICE, LPC_FUNCTION));
  Line<Pciexbar>().Hex(Pciexbar::kBase, base).Hex(Pciexbar::kLpcId, lpcId);
  Check(lpcId == ICH9_LPC_ID, "ich9-lpc-not-at-31.0-through-ecam");
}

// TSEG is plain RAM until T_EN: clear it, copy the SMRAM program, fill in
// its header, page tables and IDT.
void InstallSmramProgram() {
  memset(reinterpret_cast<void *>(TSEG_BASE), 0, TSEG_SIZE);
  memcpy(reinterpret_cast<void *>(TSEG_BASE), smm_program, static_cast<size_t>(smm_program_end - smm_program));
  auto &header = *reinterpret_cast<SmmHeader *>(TSEG_BASE);
  if (header.magic != kSmmMagic || header.self != TSEG_BASE || header.end > TSEG_BASE + TSEG_SIZE) {
    Check(false, "smram-program-header");
    Finish("smram-program");
  }
  header.mailbox = reinterpret_cast<uint64_t>(&gMailbox);
  FillIdt(reinterpret_cast<IdtGate *>(header.idt), reinterpret_cast<const uint64_t *>(header.vectorStubs));
  InstallSmiEntries(header);

  auto *pml4 = reinterpret_cast<uint64_t *>(SMM_PAGE_TABLES);
  auto *pdpt = pml4 + 512;
  auto *directories = pdpt + 512;
  pml4[0] = reinterpret_cast<uint64_t>(pdpt) | PTE_PRESENT | PTE_WRITABLE;
  for (uint64_t g = 0; g < 4; ++g)
    pdpt[g] = reinterpret_cast<uint64_t>(directories + 512 * g) | PTE_PRESENT | PTE_WRITABLE;
  for (uint64_t i = 0; i < 4 * 512; ++i) directories[i] = i * LARGE_PAGE_SIZE | PTE_PRESENT | PTE_WRITABLE | PTE_LARGE;
}

// SMRAM: the program in TSEG, then T_EN; TSEG must vanish from here at once.
void EnableTseg() {
  Check(ConfigRead8(0, 0, MCH_ESMRAMC) == ESMRAMC_TSEG_OFF, "tseg-already-enabled");
  InstallSmramProgram();
  Store<uint8_t>(TSEG_BASE - 1, 0x5A);
  ConfigWrite8(0, 0, MCH_ESMRAMC, ESMRAMC_TSEG_1M);
  const bool hidden = Load<uint32_t>(TSEG_BASE) == 0xFFFFFFFFu && Load<uint8_t>(TSEG_BASE - 1) == 0x5A;
  Line<Tseg>().Hex(Tseg::kBase, TSEG_BASE).Hex(Tseg::kSize, TSEG_SIZE).Dec(Tseg::kHidden, hidden);
  Check(hidden, "tseg-not-where-expected");
}

// SMBASE relocation: the SMRAM program's stub (its header says where; TSEG
// is hidden now, so the copy comes from this program's own bytes) in ASEG,
// opened for the copy, then one SMI; a second SMI reaches the SMI entry in
// TSEG and reports the new SMBASE.
void RelocateSmbase() {
  const auto &header = *reinterpret_cast<const SmmHeader *>(smm_program);
  const uint8_t *stub = smm_program + (header.relocationStub - header.self);
  SetSmram(SMRAM_OPEN);
  memcpy(reinterpret_cast<void *>(ASEG_SMBASE + SMM_ENTRY_OFFSET), stub,
         static_cast<size_t>(header.relocationStubEnd - header.relocationStub));
  SetSmram(SMRAM_CLOSED);
  gMailbox.relocateTo = SMM_SMBASE;
  Out8(APM_CONTROL_PORT, APM_RELOCATE);
  bool relocated = false;
  for (uint64_t i = 0; i < kSmiPolls && !relocated; ++i)
    relocated = __atomic_load_n(&gMailbox.relocated, __ATOMIC_ACQUIRE) != 0;
  if (!relocated) Finish("relocation-smi-not-taken");
  if (!RaiseSmi(APM_PROBE)) Finish("smi-entry-not-reached");
  Line<Smbase>().Hex(Smbase::kValue, gMailbox.smbase);
  Check(gMailbox.smbase == SMM_SMBASE, "smbase-not-relocated");
}

// The driver, loaded by the dispatcher as an SMM core would.
void LoadDriver(const Params &o, uint64_t fileSize) {
  gMailbox.imageAddress = kFileStaging;
  gMailbox.imageSize = static_cast<uint32_t>(fileSize);
  gMailbox.imageCrc = static_cast<uint32_t>(o.imageCrc);
  gMailbox.printLevel = static_cast<uint32_t>(o.printLevel);
  gMailbox.printLevelRva = static_cast<uint32_t>(o.printLevelRva);
  if (!RaiseSmi(APM_LOAD_DRIVER)) Finish("load-smi-not-taken");
  Line<Image>()
      .Dec(Image::kSize, fileSize)
      .Hex(Image::kCrc, o.imageCrc)
      .Hex(Image::kCrcInSmram, gMailbox.imageCrcSeen)
      .Dec(Image::kLoaded, gMailbox.loaded)
      .Hex(Image::kBase, gMailbox.imageBase)
      .Text(Image::kError, gMailbox.loadError[0] != 0 ? gMailbox.loadError : "none");
  Check(gMailbox.loaded != 0, "driver-not-loaded");
  {
    Line<Entry> line;
    line.Hex(Entry::kStatus, gMailbox.entryStatus)
        .Dec(Entry::kInSmm, gMailbox.inSmmAnswer)
        .Dec(Entry::kInSmmCalls, gMailbox.inSmmCalls)
        .Dec(Entry::kBreakpoints, gMailbox.breakpoints)
        .Dec(Entry::kRegistrations, gMailbox.registrations)
        .Key(Entry::kSources);
    for (uint32_t i = 0; i < gMailbox.registrations && i < 4; ++i) {
      if (i != 0) Say(",");
      SayDec(gMailbox.sources[i]);
    }
  }
  Check(gMailbox.entryStatus == 0, "entry-status-not-success");
}

// The UART as the driver left it (for the host's header line).
void ReportUart() {
  const uint8_t lcr = In8(CONSOLE_UART + UART_LCR);
  Out8(CONSOLE_UART + UART_LCR, static_cast<uint8_t>(lcr | UART_LCR_DLAB));
  const uint32_t divisor = In8(CONSOLE_UART + UART_DLL) | static_cast<uint32_t>(In8(CONSOLE_UART + UART_DLM)) << 8;
  Out8(CONSOLE_UART + UART_LCR, lcr);
  Line<Uart>().Hex(Uart::kLcr, lcr).Dec(Uart::kDivisor, divisor).Hex(Uart::kIir, In8(CONSOLE_UART + UART_IIR));
}

void LockSmram() {
  SetSmram(SMRAM_LOCKED);
  const uint8_t smram = ConfigRead8(0, 0, MCH_SMRAM);
  Line<Smram>().Hex(Smram::kValue, smram);
  Check(smram == SMRAM_LOCKED, "smram-not-locked");
}

// The SMI sources the SMM code serves, enabled here rather than left to the
// BIOS: the ACPI I/O range decoding at its usual base, then SMI_EN from
// nothing to the global enable and the APM control port.
void EnableSmiSources() {
  ConfigWrite32(LPC_DEVICE, LPC_FUNCTION, LPC_PMBASE, ICH9_PMBASE_DEFAULT);
  ConfigWrite8(LPC_DEVICE, LPC_FUNCTION, LPC_ACPI_CNTL,
               ConfigRead8(LPC_DEVICE, LPC_FUNCTION, LPC_ACPI_CNTL) | ACPI_CNTL_ACPI_EN);
  const uint16_t smiEn = ICH9_PMBASE_DEFAULT + ICH9_SMI_EN;
  Out32(smiEn, 0);
  Out32(smiEn, SMI_EN_GBL_SMI_EN | SMI_EN_APMC_EN);
  const uint32_t value = In32(smiEn);
  Line<SmiSources>().Hex(SmiSources::kPmBase, ICH9_PMBASE_DEFAULT).Hex(SmiSources::kSmiEn, value);
  Check((value & (SMI_EN_GBL_SMI_EN | SMI_EN_APMC_EN)) == (SMI_EN_GBL_SMI_EN | SMI_EN_APMC_EN),
        "smi-sources-not-enabled");
  gMailbox.pmBase = ICH9_PMBASE_DEFAULT;
}

// SSE state the attacks must leave as they found it: MXCSR with rounding
// toward zero, and a pattern in XMM6.
constexpr uint32_t kAttackerMxcsr = MXCSR_RESET | 0x6000;
constexpr uint64_t kAttackerXmm6[2] = {0x0123456789ABCDEFull, 0xFEDCBA9876543210ull};

// The attacker: clears followed by the unlock SMI, then SMIs with the lock
// left set.
void AttackTheLock(const Params &o) {
  uint64_t relocked = 0, taken = 0;
  const uint32_t handlerCallsBefore = gMailbox.handlerCalls;
  asm volatile("ldmxcsr %0; movdqu %1, %%xmm6" : : "m"(kAttackerMxcsr), "m"(kAttackerXmm6));
  for (uint64_t i = 0; i < o.attempts; ++i) {
    bool smi = false;
    relocked += AttackOnce(o.pcieBase, true, smi) ? 1 : 0;
    taken += smi ? 1 : 0;
    if (!smi) break;
  }
  uint64_t idleLocked = 0;
  for (uint64_t i = 0; i < o.idleSmis; ++i) {
    bool smi = false;
    idleLocked += AttackOnce(o.pcieBase, false, smi) ? 1 : 0;
    taken += smi ? 1 : 0;
  }
  uint32_t mxcsr = 0;
  uint64_t xmm6[2] = {};
  asm volatile("stmxcsr %0; movdqu %%xmm6, %1" : "=m"(mxcsr), "=m"(xmm6));
  const bool sseKept = mxcsr == kAttackerMxcsr && xmm6[0] == kAttackerXmm6[0] && xmm6[1] == kAttackerXmm6[1];
  const uint32_t smiEn = In32(ICH9_PMBASE_DEFAULT + ICH9_SMI_EN);
  using A = report::Attack;
  Line<A>()
      .Dec(A::kAttempts, o.attempts)
      .Dec(A::kRelocked, relocked)
      .Dec(A::kIdleSmis, o.idleSmis)
      .Dec(A::kIdleLocked, idleLocked)
      .Dec(A::kSmis, taken)
      .Dec(A::kHandlerCalls, gMailbox.handlerCalls - handlerCallsBefore)
      .Dec(A::kBreakpoints, gMailbox.breakpoints)
      .Dec(A::kHandlerErrors, gMailbox.handlerErrors)
      .Hex(A::kFirstHandlerError, gMailbox.firstHandlerError)
      .Dec(A::kFirstHandlerErrorSmi, gMailbox.firstHandlerErrorSmi)
      .Dec(A::kSseKept, sseKept)
      .Hex(A::kSmiEn, smiEn);
  Check(sseKept, "sse-state-changed-by-an-smi");
  Check(taken == 0 || (smiEn & SMI_EN_EOS) != 0, "smi-not-ended-with-eos");
  Check(taken == o.attempts + o.idleSmis, "an-smi-was-not-taken");
  Check(relocked == (o.driver != 0 ? o.attempts : 0), o.driver != 0 ? "an-unlock-stayed" : "relocked-without-driver");
}

// Reads from outside SMM see nothing of SMRAM; writes there change nothing
// the handler needs; the lock holds against reopening.
void CheckProtection(const Params &o) {
  const uint64_t visible = VisibleTsegBytes();
  memset(reinterpret_cast<void *>(TSEG_BASE), 0xCC, TSEG_SIZE);
  bool smi = false;
  const bool afterWrites = AttackOnce(o.pcieBase, true, smi);
  SetSmram(SMRAM_OPEN);
  ConfigWrite8(0, 0, MCH_ESMRAMC, ESMRAMC_TSEG_OFF);
  const uint8_t smramAfter = ConfigRead8(0, 0, MCH_SMRAM), esmramcAfter = ConfigRead8(0, 0, MCH_ESMRAMC);
  const uint64_t visibleAfter = VisibleTsegBytes();
  const bool afterReopen = AttackOnce(o.pcieBase, true, smi);
  using P = Protection;
  Line<P>()
      .Dec(P::kVisibleBytes, visible)
      .Dec(P::kRelockedAfterWrites, afterWrites)
      .Hex(P::kSmramAfterReopen, smramAfter)
      .Hex(P::kEsmramcAfterReopen, esmramcAfter)
      .Dec(P::kVisibleAfterReopen, visibleAfter)
      .Dec(P::kRelockedAfterReopen, afterReopen);
  Check(visible == 0 && visibleAfter == 0, "smram-readable-from-outside");
  Check(afterWrites == (o.driver != 0), "writes-outside-smm-broke-the-handler");
  Check(smramAfter == SMRAM_LOCKED && esmramcAfter == ESMRAMC_TSEG_1M, "smram-reopened-after-lock");
  Check(afterReopen == (o.driver != 0), "handler-gone-after-reopen-attempt");
}

}  // namespace

extern "C" void OnException(ExceptionFrame *frame) {
  Line<Exception>()
      .Text(Exception::kWhere, "outside")
      .Dec(Exception::kVector, frame->vector)
      .Hex(Exception::kError, frame->error)
      .Hex(Exception::kRip, frame->rip);
  Finish("exception");
}

extern "C" [[noreturn]] void GuestMain(uint32_t startInfoAddress) {
  LoadIdt();
  Line<report::Guest>().Text(report::Guest::kProgram, "vexa-qemu-guest");
  Params o;
  const uint64_t fileSize = ReadStartInfo(startInfoAddress, o);
  MovePciExpressWindow(o.pcieBase);
  gMailbox.pcieBase = o.pcieBase;
  EnableSmiSources();
  EnableTseg();
  RelocateSmbase();
  StartCpus(static_cast<uint32_t>(o.cpus), static_cast<uint32_t>(o.mpFault));
  Out8(CMOS_INDEX_PORT, CMOS_BAUD_SELECTOR);
  Out8(CMOS_DATA_PORT, static_cast<uint8_t>(o.cmos));
  if (o.driver != 0) {
    LoadDriver(o, fileSize);
    ReportUart();
  }
  LockSmram();
  if (o.attack == kNoNamedAttack) {
    AttackTheLock(o);
  } else {
    NamedAttack(static_cast<uint32_t>(o.attack), o.pcieBase, o.attempts);
  }
  AttackFromCpu1(o.pcieBase, static_cast<uint32_t>(o.cpu1Attempts));
  ReportRendezvous();
  if (o.protection != 0) CheckProtection(o);
  Finish(nullptr);
}
