// The lowest level of register access: one instruction of one width.
//
// This is the only place where the two builds differ.  In the image each
// function is a single x86 IN/OUT or a single volatile load/store; on the
// host the same calls reach the simulated platform's bus, which routes them to
// device models and records them.  Everything above (fences, assertions, PCI
// Express forwarding) is the same code in both builds.
#pragma once

#include "Base.h"

#if defined(VEXA_HOST_BUILD)

extern "C" {
UINT8 ArchPortIn8(UINT16 Port);
UINT32 ArchPortIn32(UINT16 Port);
VOID ArchPortOut8(UINT16 Port, UINT8 Value);
VOID ArchPortOut32(UINT16 Port, UINT32 Value);
UINT8 ArchLoad8(UINTN Address);
UINT16 ArchLoad16(UINTN Address);
UINT32 ArchLoad32(UINTN Address);
VOID ArchStore8(UINTN Address, UINT8 Value);
VOID ArchStore16(UINTN Address, UINT16 Value);
VOID ArchStore32(UINTN Address, UINT32 Value);
}

#else

static inline UINT8 ArchPortIn8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline UINT32 ArchPortIn32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline VOID ArchPortOut8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

static inline VOID ArchPortOut32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}

static inline UINT8 ArchLoad8(UINTN Address) { return *(volatile UINT8 *)Address; }
static inline UINT16 ArchLoad16(UINTN Address) { return *(volatile UINT16 *)Address; }
static inline UINT32 ArchLoad32(UINTN Address) { return *(volatile UINT32 *)Address; }
static inline VOID ArchStore8(UINTN Address, UINT8 Value) { *(volatile UINT8 *)Address = Value; }
static inline VOID ArchStore16(UINTN Address, UINT16 Value) { *(volatile UINT16 *)Address = Value; }
static inline VOID ArchStore32(UINTN Address, UINT32 Value) { *(volatile UINT32 *)Address = Value; }

#endif
