// What the guest's two programs share: port and memory access, the report
// on QEMU's debug console, the exception frame and IDT gates, the SMRAM
// program's header, and the mailbox outside SMRAM through which the program
// outside SMM and the SMI dispatcher talk.  Each program links its own copy.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "Layout.h"
#include "Mp.h"
#include "qemu/Report.h"

namespace guest {

inline void Out8(uint16_t port, uint8_t value) { asm volatile("outb %0, %1" : : "a"(value), "Nd"(port)); }
inline void Out32(uint16_t port, uint32_t value) { asm volatile("outl %0, %1" : : "a"(value), "Nd"(port)); }
inline uint8_t In8(uint16_t port) {
  uint8_t v;
  asm volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
inline uint32_t In32(uint16_t port) {
  uint32_t v;
  asm volatile("inl %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
template <typename T>
inline T Load(uint64_t address) {
  return *reinterpret_cast<volatile T *>(address);
}
template <typename T>
inline void Store(uint64_t address, T value) {
  *reinterpret_cast<volatile T *>(address) = value;
}

// Configuration space of bus 0 through the configuration ports.
inline uint32_t ConfigAddress(uint32_t device, uint32_t function, uint32_t reg) {
  return PCI_CONFIG_ENABLE | device << 11 | function << 8 | (reg & 0xFC);
}
inline uint8_t ConfigRead8(uint32_t device, uint32_t function, uint32_t reg) {
  Out32(PCI_CONFIG_ADDRESS_PORT, ConfigAddress(device, function, reg));
  return In8(static_cast<uint16_t>(PCI_CONFIG_DATA_PORT + (reg & 3)));
}
inline void ConfigWrite8(uint32_t device, uint32_t function, uint32_t reg, uint8_t value) {
  Out32(PCI_CONFIG_ADDRESS_PORT, ConfigAddress(device, function, reg));
  Out8(static_cast<uint16_t>(PCI_CONFIG_DATA_PORT + (reg & 3)), value);
}
inline void ConfigWrite32(uint32_t device, uint32_t function, uint32_t reg, uint32_t value) {
  Out32(PCI_CONFIG_ADDRESS_PORT, ConfigAddress(device, function, reg));
  Out32(PCI_CONFIG_DATA_PORT, value);
}

// The report: lines of "topic key=value ..." on the debug console, written
// through Line with the topics and keys of qemu/Report.h.
inline void Say(const char *text) {
  while (*text != 0) Out8(DEBUG_CONSOLE_PORT, static_cast<uint8_t>(*text++));
}
inline void SayHex(uint64_t v) {
  char digits[19];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v != 0);
  Say("0x");
  while (n > 0) Out8(DEBUG_CONSOLE_PORT, static_cast<uint8_t>(digits[--n]));
}
inline void SayDec(uint64_t v) {
  char digits[21];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) Out8(DEBUG_CONSOLE_PORT, static_cast<uint8_t>(digits[--n]));
}

// One report line of `Topic`, ended when the object goes:
//   Line<report::Tseg>().Hex(report::Tseg::kBase, TSEG_BASE).Dec(report::Tseg::kHidden, 1);
template <typename Topic>
class Line {
 public:
  Line() { Say(Topic::kName); }
  ~Line() { Say("\n"); }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;
  // " key=", for a value the caller writes itself.
  Line &Key(report::Key<Topic> key) {
    Say(" ");
    Say(key.name);
    Say("=");
    return *this;
  }
  Line &Dec(report::Key<Topic> key, uint64_t v) {
    Key(key);
    SayDec(v);
    return *this;
  }
  Line &Hex(report::Key<Topic> key, uint64_t v) {
    Key(key);
    SayHex(v);
    return *this;
  }
  Line &Text(report::Key<Topic> key, const char *v) {
    Key(key);
    Say(v);
    return *this;
  }
};

[[noreturn]] inline void Exit(uint8_t code) {
  Out32(DEBUG_EXIT_PORT, code);
  for (;;) asm volatile("cli; hlt");
}

// What the vector stubs push, lowest address first.
struct ExceptionFrame {
  uint64_t r15, r14, r13, r12, r11, r10, r9, r8, rbp, rdi, rsi, rdx, rcx, rbx, rax;
  uint64_t vector, error, rip, cs, rflags, rsp, ss;
};

struct IdtGate {
  uint16_t offsetLow, selector;
  uint8_t ist, type;
  uint16_t offsetMiddle;
  uint32_t offsetHigh, reserved;
};
static_assert(sizeof(IdtGate) == 16, "64-bit interrupt gate");
constexpr int kVectors = 32;

// Interrupt gates (interrupts stay off) for the 32 exception vectors.
inline void FillIdt(IdtGate *idt, const uint64_t *stubs) {
  for (int v = 0; v < kVectors; ++v) {
    const uint64_t at = stubs[v];
    idt[v] = {static_cast<uint16_t>(at),       SEL_CODE64, 0, IDT_INTERRUPT_GATE, static_cast<uint16_t>(at >> 16),
              static_cast<uint32_t>(at >> 32), 0};
  }
}

// Outside SMRAM, written by both sides.  The program outside SMM sets the
// request fields before it raises the SMI; the dispatcher copies them into
// SMRAM before using them and writes the results, `smis` last.
struct Mailbox {
  uint32_t relocated;  // CPUs the relocation stub has moved (it finds the mailbox's address in the header)
  uint32_t smis;       // SMIs the dispatcher has finished
  uint32_t relocateTo, relocatedFrom;  // the next CPU's SMBASE, and the one the stub found
  // Request: the driver image and its settings.
  uint64_t imageAddress;
  uint32_t imageSize, imageCrc;
  uint32_t printLevel, printLevelRva;  // RVA 0: leave the image's own print level
  // Results.
  uint32_t lastCommand, unknownCommands;
  uint64_t smbase;        // as the dispatcher reads it in its state save map
  uint32_t loaded;        // the driver is loaded and its entry was called
  uint32_t imageCrcSeen;  // of the bytes copied into SMRAM
  char loadError[80];     // why the load failed, if it did
  uint64_t imageBase, entryStatus;
  uint32_t inSmmAnswer, inSmmCalls;  // what InSmm told the image
  uint32_t registrations, sources[4];
  uint32_t handlerCalls, breakpoints;
  uint64_t lastHandlerStatus;
  uint32_t handlerErrors;  // handler returns other than EFI_SUCCESS
  uint64_t firstHandlerError, firstHandlerErrorSmi;
  // Request, taken into SMRAM once: where the window and the ACPI I/O range lie.
  uint64_t pcieBase;
  uint32_t pmBase;
  MpMailbox mp;
};
static_assert(offsetof(Mailbox, relocated) == MAILBOX_RELOCATED && offsetof(Mailbox, relocateTo) == MAILBOX_RELOCATE_TO &&
                  offsetof(Mailbox, relocatedFrom) == MAILBOX_RELOCATED_FROM,
              "the relocation stub's fields");

// The first bytes of the SMRAM program (at TSEG_BASE): what the program
// outside SMM needs to install it.  `mailbox` is filled in before T_EN.
struct SmmHeader {
  uint64_t magic;
  uint64_t self;         // the address the program was linked for
  uint64_t end;          // end of its code, data and zeroed data
  uint64_t idt;          // 32 gates, filled from vectorStubs before T_EN
  uint64_t vectorStubs;  // 32 stub addresses
  uint64_t mailbox;
  uint64_t relocationStub, relocationStubEnd;  // the first SMI's handler, copied into ASEG
  uint64_t smiEntry, smiEntryEnd;              // CPU 0's SMI entry, copied for the others
};
static_assert(offsetof(SmmHeader, mailbox) == SMM_HEADER_MAILBOX, "the relocation stub reads the mailbox's address");
constexpr uint64_t kSmmMagic = 0x4D4D53415845564Eull;  // "NVEXASMM"

}  // namespace guest

extern "C" const uint64_t kVectorStubs[guest::kVectors];
