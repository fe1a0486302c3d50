// Several CPUs, outside SMM: CPU 0 starts the others (INIT, then two
// start-up IPIs into the trampoline of Ap.S), relocates each one's SMBASE
// into TSEG with an SMI at that CPU alone, negotiates SMI broadcast with
// ICH9 through QEMU's firmware configuration files, and tells the SMRAM
// program every CPU is in place.  Later it has CPU 1 attack while it keeps
// busy itself, and reports what the rendezvous counted.
#include "GpioLock.h"
#include "Guest.h"
#include "Outside.h"

using namespace guest;
using namespace report;

extern "C" {
extern const uint8_t ap_trampoline[], ap_trampoline_end[];
extern const uint64_t ap_nmi;  // only its address is taken
extern IdtGate gIdt[kVectors];
extern Mailbox gMailbox;
[[noreturn]] void ApMain(uint32_t apicId);
void *memcpy(void *dest, const void *src, size_t size);
}

namespace guest {
namespace {

// CPU 0's waits for another CPU, in time-stamp counter ticks (about 0.4 s
// at 2.6 GHz): a CPU that takes longer is reported, not waited for.
constexpr uint64_t kCpuWaitTicks = 0x40000000;
// Reads of the lock after one clear from CPU 1 before it gives up.
constexpr uint64_t kClearReadBound = 100'000;

alignas(16) IdtGate gApIdt[kVectors];
uint32_t gApicIds[MAX_CPUS];  // the CPUs running, CPU 0 first
uint32_t gRunning;

uint64_t Ticks() {
  uint32_t low, high;
  asm volatile("rdtsc" : "=a"(low), "=d"(high));
  return uint64_t{high} << 32 | low;
}

void Out16(uint16_t port, uint16_t value) { asm volatile("outw %0, %1" : : "a"(value), "Nd"(port)); }

uint32_t LapicRead(uint32_t reg) { return Load<uint32_t>(LAPIC_BASE + reg); }
void LapicWrite(uint32_t reg, uint32_t value) { Store<uint32_t>(LAPIC_BASE + reg, value); }

void SendIpi(uint32_t apicId, uint32_t command) {
  LapicWrite(LAPIC_ICR_HIGH, apicId << 24);
  LapicWrite(LAPIC_ICR_LOW, command);
  for (uint64_t start = Ticks(); (LapicRead(LAPIC_ICR_LOW) & ICR_PENDING) != 0;)
    if (Ticks() - start > kCpuWaitTicks) Finish("ipi-never-delivered");
}

// Waits until `*word` differs from `before`; false past the bound.
bool WaitForChange(const uint32_t *word, uint32_t before) {
  for (uint64_t start = Ticks(); __atomic_load_n(word, __ATOMIC_ACQUIRE) == before;) {
    if (Ticks() - start > kCpuWaitTicks) return false;
    asm volatile("pause");
  }
  return true;
}

// QEMU's firmware configuration: a file's selector by name, reads through
// the data port, writes through DMA (the data port ignores writes).
struct FwCfgFile {
  uint32_t size;
  uint16_t select;
};
uint32_t Be32(uint32_t v) { return __builtin_bswap32(v); }

void FwCfgRead(uint16_t select, void *to, uint32_t size) {
  Out16(FW_CFG_SELECTOR_PORT, select);
  for (uint32_t i = 0; i < size; ++i) static_cast<uint8_t *>(to)[i] = In8(FW_CFG_DATA_PORT);
}

bool FwCfgFind(const char *name, FwCfgFile &file) {
  uint32_t count = 0;
  FwCfgRead(FW_CFG_FILE_DIR, &count, 4);
  count = Be32(count);
  for (uint32_t i = 0; i < count; ++i) {
    struct {
      uint32_t size;
      uint16_t select, reserved;
      char name[56];
    } entry;
    for (uint32_t b = 0; b < sizeof entry; ++b) reinterpret_cast<uint8_t *>(&entry)[b] = In8(FW_CFG_DATA_PORT);
    uint32_t n = 0;
    while (name[n] != 0 && entry.name[n] == name[n]) ++n;
    if (name[n] == 0 && entry.name[n] == 0) {
      file = {Be32(entry.size), static_cast<uint16_t>(__builtin_bswap16(entry.select))};
      return true;
    }
  }
  return false;
}

bool FwCfgWrite(uint16_t select, const void *from, uint32_t size) {
  static struct {
    uint32_t control, length;
    uint64_t address;
  } __attribute__((aligned(16))) access;
  access.control = Be32(uint32_t{select} << 16 | FW_CFG_DMA_SELECT | FW_CFG_DMA_WRITE);
  access.length = Be32(size);
  access.address = __builtin_bswap64(reinterpret_cast<uint64_t>(from));
  const uint64_t at = reinterpret_cast<uint64_t>(&access);
  Out32(FW_CFG_DMA_HIGH_PORT, Be32(static_cast<uint32_t>(at >> 32)));
  Out32(FW_CFG_DMA_LOW_PORT, Be32(static_cast<uint32_t>(at)));
  for (uint64_t start = Ticks(); Be32(__atomic_load_n(&access.control, __ATOMIC_ACQUIRE)) & ~FW_CFG_DMA_ERROR;)
    if (Ticks() - start > kCpuWaitTicks) return false;
  return (Be32(access.control) & FW_CFG_DMA_ERROR) == 0;
}

// ICH9's SMI features: broadcast requested, then features-ok selected (which
// has QEMU check and lock the request) and read back.
void NegotiateBroadcast(bool negotiate) {
  FwCfgFile supported{}, requested{}, ok{};
  uint64_t supportedFeatures = 0, want = SMI_FEATURE_BROADCAST;
  uint8_t featuresOk = 0;
  const bool found = FwCfgFind("etc/smi/supported-features", supported) &&
                     FwCfgFind("etc/smi/requested-features", requested) && FwCfgFind("etc/smi/features-ok", ok);
  if (found) {
    FwCfgRead(supported.select, &supportedFeatures, 8);
    if (negotiate && FwCfgWrite(requested.select, &want, 8)) FwCfgRead(ok.select, &featuresOk, 1);
  }
  Line<Mp> line;
  line.Dec(Mp::kCpus, gRunning).Dec(Mp::kStarted, gRunning).Key(Mp::kApicIds);
  for (uint32_t i = 0; i < gRunning; ++i) {
    if (i != 0) Say(",");
    SayDec(gApicIds[i]);
  }
  line.Hex(Mp::kSupportedFeatures, supportedFeatures)
      .Hex(Mp::kRequestedFeatures, negotiate ? want : 0)
      .Dec(Mp::kFeaturesOk, featuresOk);
}

void SayList(const uint32_t *values, uint32_t count, bool hex) {
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0) Say(",");
    hex ? SayHex(values[i]) : SayDec(values[i]);
  }
}

}  // namespace

void InstallSmiEntries(const SmmHeader &header) {
  const uint64_t size = header.smiEntryEnd - header.smiEntry;
  for (uint32_t cpu = 1; cpu < MAX_CPUS; ++cpu)
    memcpy(reinterpret_cast<void *>(TSEG_BASE + cpu * SMBASE_STRIDE + SMM_ENTRY_OFFSET),
           reinterpret_cast<const void *>(header.smiEntry), size);
}

void StartCpus(uint32_t cpus, uint32_t fault) {
  MpMailbox &mp = gMailbox.mp;
  uint16_t qemuCpus = 0;
  FwCfgRead(FW_CFG_NB_CPUS, &qemuCpus, 2);
  gApicIds[0] = LapicRead(LAPIC_ID) >> 24;
  gRunning = 1;
  uint32_t movedFrom[MAX_CPUS] = {gMailbox.relocatedFrom};
  if (qemuCpus != cpus || cpus > MAX_CPUS || gApicIds[0] != 0) {
    Line<MpFault>().Text(MpFault::kWhere, "outside").Text(MpFault::kWhat, "cpu-count-or-apic-id").Dec(MpFault::kCpu,
                                                                                                        qemuCpus);
    Finish("mp-set-up");
  }

  if (cpus > 1) {
    // The others' IDT: this program's, with an NMI that only wakes them.
    for (int v = 0; v < kVectors; ++v) gApIdt[v] = gIdt[v];
    const uint64_t nmi = reinterpret_cast<uint64_t>(&ap_nmi);
    gApIdt[2] = {static_cast<uint16_t>(nmi),        SEL_CODE64, 0, IDT_INTERRUPT_GATE, static_cast<uint16_t>(nmi >> 16),
                 static_cast<uint32_t>(nmi >> 32), 0};
    memcpy(reinterpret_cast<void *>(AP_TRAMPOLINE), ap_trampoline,
           static_cast<size_t>(ap_trampoline_end - ap_trampoline));
    LapicWrite(LAPIC_SVR, LapicRead(LAPIC_SVR) | LAPIC_SVR_ENABLE);
    SendIpi(0, ICR_ALL_BUT_SELF | ICR_INIT_ASSERT);
    for (int i = 0; i < 2; ++i) SendIpi(0, ICR_ALL_BUT_SELF | ICR_STARTUP | (AP_TRAMPOLINE >> 12));
    for (uint64_t start = Ticks(); gRunning < cpus && Ticks() - start < kCpuWaitTicks;) {
      for (uint32_t id = 1; id < MAX_CPUS; ++id) {
        bool known = false;
        for (uint32_t i = 0; i < gRunning; ++i) known = known || gApicIds[i] == id;
        if (!known && __atomic_load_n(&mp.cpu[id].running, __ATOMIC_ACQUIRE) != 0) gApicIds[gRunning++] = id;
      }
    }
    Check(gRunning == cpus, "a-cpu-did-not-start");
    // Reported by APIC ID, whatever order they started in.
    for (uint32_t i = 1; i < gRunning; ++i)
      for (uint32_t j = i; j > 0 && gApicIds[j - 1] > gApicIds[j]; --j) {
        const uint32_t t = gApicIds[j];
        gApicIds[j] = gApicIds[j - 1];
        gApicIds[j - 1] = t;
      }

    // Each one's SMBASE, one CPU at a time: the stub at the power-on SMBASE
    // moves it, an SMI at that CPU alone then reaches its entry in TSEG.
    const auto &header = *reinterpret_cast<const SmmHeader *>(smm_program);
    memcpy(reinterpret_cast<void *>(POWER_ON_SMBASE + SMM_ENTRY_OFFSET),
           smm_program + (header.relocationStub - header.self),
           static_cast<size_t>(header.relocationStubEnd - header.relocationStub));
    for (uint32_t i = 1; i < gRunning; ++i) {
      const uint32_t id = gApicIds[i];
      // The fault built on purpose: CPU 1 given CPU 0's SMBASE.
      gMailbox.relocateTo = fault == kFaultSameSmbase && id == 1 ? SMM_SMBASE : SMM_SMBASE + id * SMBASE_STRIDE;
      const uint32_t relocations = gMailbox.relocated;
      SendIpi(id, ICR_DELIVERY_SMI);
      if (!WaitForChange(&gMailbox.relocated, relocations)) Finish("relocation-smi-not-taken");
      movedFrom[i] = gMailbox.relocatedFrom;
      const uint32_t smis = gMailbox.smis;
      __atomic_fetch_add(&mp.raised, 1, __ATOMIC_ACQ_REL);
      SendIpi(id, ICR_DELIVERY_SMI);
      if (!WaitForChange(&gMailbox.smis, smis)) Finish("smi-entry-not-reached");
    }
  }

  uint32_t smbases[MAX_CPUS];
  for (uint32_t i = 0; i < gRunning; ++i) smbases[i] = mp.cpu[gApicIds[i]].smbase;
  {
    Line<Smbase> line;
    line.Key(Smbase::kCpus);
    SayList(smbases, gRunning, true);
    line.Key(Smbase::kMovedFrom);
    SayList(movedFrom, gRunning, true);
  }
  for (uint32_t i = 0; i < gRunning; ++i)
    Check(smbases[i] == SMM_SMBASE + gApicIds[i] * SMBASE_STRIDE, "an-smbase-not-where-it-was-put");

  NegotiateBroadcast(fault != kFaultNoBroadcast);
  if (!RaiseSmi(APM_MP_READY)) Finish("mp-ready-smi-not-taken");
  Check(mp.expected == gRunning, "the-rendezvous-does-not-know-every-cpu");
}

void AttackFromCpu1(uint64_t pcieBase, uint32_t attempts) {
  if (gRunning < 2 || attempts == 0) return;
  MpMailbox &mp = gMailbox.mp;
  CpuSlot &slot = mp.cpu[gApicIds[1]];
  mp.attackAttempts = attempts;
  mp.lockAddress = pcieBase + GPIO_LOCK_REGISTER_OFFSET;
  const uint32_t handlerCalls = gMailbox.handlerCalls, smis = mp.rendezvousSmis;
  const uint32_t sequence = slot.commandSequence + 1;
  slot.command = kCpuAttack;
  __atomic_store_n(&slot.commandSequence, sequence, __ATOMIC_RELEASE);
  // Busy meanwhile, spinning as a CPU waiting on a lock does (PAUSE); the
  // NMI that wakes CPU 1 is sent again until it answers.
  uint64_t busy = 0;
  const uint64_t start = Ticks(), bound = kCpuWaitTicks * (4 + attempts / 64);
  while (__atomic_load_n(&slot.done, __ATOMIC_ACQUIRE) != sequence && Ticks() - start < bound) {
    if (__atomic_load_n(&slot.acked, __ATOMIC_ACQUIRE) != sequence && busy % 100000 == 0)
      SendIpi(gApicIds[1], ICR_DELIVERY_NMI);
    ++busy;
    asm volatile("pause");
  }
  Line<Cpu1>()
      .Dec(Cpu1::kAttempts, attempts)
      .Dec(Cpu1::kRelocked, mp.relocked)
      .Dec(Cpu1::kSmis, mp.rendezvousSmis - smis)
      .Dec(Cpu1::kHandlerCalls, gMailbox.handlerCalls - handlerCalls)
      .Dec(Cpu1::kClearReads, mp.clearReads)
      .Dec(Cpu1::kMostClearReads, mp.mostClearReads)
      .Dec(Cpu1::kCpu0Busy, busy);
  Check(slot.done == sequence, "cpu-1-did-not-finish-its-attack");
  Check(mp.relocked == attempts, "a-clear-from-cpu-1-stayed");
}

void ReportRendezvous() {
  const MpMailbox &mp = gMailbox.mp;
  uint32_t arrivals[MAX_CPUS], dispatched[MAX_CPUS];
  for (uint32_t i = 0; i < gRunning; ++i) {
    arrivals[i] = mp.cpu[gApicIds[i]].arrivals;
    dispatched[i] = mp.cpu[gApicIds[i]].dispatched;
  }
  {
    Line<Rendezvous> line;
    line.Dec(Rendezvous::kCpus, mp.expected)
        .Dec(Rendezvous::kSmis, mp.rendezvousSmis)
        .Dec(Rendezvous::kComplete, mp.complete)
        .Hex(Rendezvous::kMissing, mp.missingMask)
        .Key(Rendezvous::kArrivals);
    SayList(arrivals, gRunning, false);
    line.Key(Rendezvous::kDispatched);
    SayList(dispatched, gRunning, false);
    line.Dec(Rendezvous::kSmstCpus, mp.smstCpus).Dec(Rendezvous::kSmstExecuting, mp.smstExecuting);
  }
  Check(mp.complete == mp.rendezvousSmis, "cpus-missing-from-the-rendezvous");
}

}  // namespace guest

// The other CPUs, outside SMM: announce themselves, then carry out what
// CPU 0 asks, halted in between (an NMI or an SMI wakes them).
extern "C" [[noreturn]] void ApMain(uint32_t apicId) {
  const struct __attribute__((packed)) {
    uint16_t limit;
    uint64_t base;
  } idtr = {sizeof guest::gApIdt - 1, reinterpret_cast<uint64_t>(guest::gApIdt)};
  asm volatile("lidt %0" : : "m"(idtr));
  MpMailbox &mp = gMailbox.mp;
  CpuSlot &slot = mp.cpu[apicId];
  __atomic_store_n(&slot.running, 1, __ATOMIC_RELEASE);
  for (;;) {
    const uint32_t sequence = __atomic_load_n(&slot.commandSequence, __ATOMIC_ACQUIRE);
    if (sequence == slot.done) {
      asm volatile("hlt");
      continue;
    }
    __atomic_store_n(&slot.acked, sequence, __ATOMIC_RELEASE);
    if (slot.command == kCpuAttack) {
      // Clear, raise the unlock SMI here, then read until the lock reads set.
      const uint64_t lock = mp.lockAddress;
      for (uint32_t i = 0; i < mp.attackAttempts; ++i) {
        Store<uint8_t>(lock, static_cast<uint8_t>(Load<uint8_t>(lock) & ~1u));
        __atomic_fetch_add(&mp.raised, 1, __ATOMIC_ACQ_REL);
        Out8(APM_CONTROL_PORT, APM_GPIO_UNLOCK);
        uint32_t clear = 0;
        uint8_t value = 0;
        for (uint64_t reads = 0; reads < kClearReadBound; ++reads) {
          value = Load<uint8_t>(lock);
          if ((value & 1u) != 0) break;
          ++clear;
        }
        mp.relocked += value & 1u;
        mp.clearReads += clear;
        if (clear > mp.mostClearReads) mp.mostClearReads = clear;
      }
    }
    __atomic_store_n(&slot.done, sequence, __ATOMIC_RELEASE);
  }
}
