// Processor primitives, the jump context, and string and number helpers.
#pragma once

#include "Base.h"

// Ordering point for code generation: no memory access moves across it, is
// merged with an access on its other side, or is dropped.  It is a compiler
// barrier with an empty body, inlined at every call, so it costs no
// instruction (the SMI handler's path stays short).
static inline VOID EFIAPI MemoryFence(VOID) { __asm__ __volatile__("" ::: "memory"); }

// Executes INT3 and returns when execution resumes.
VOID EFIAPI CpuBreakpoint(VOID);

// Spins on a volatile local until an outside agent (a debugger) changes it.
VOID EFIAPI CpuDeadLoop(VOID);

// The callee-saved state that SetJump records and LongJump restores.  The
// field order and offsets are shared with the assembly source.
typedef struct {
  UINT64 Rbx;
  UINT64 Rsp;
  UINT64 Rbp;
  UINT64 Rdi;
  UINT64 Rsi;
  UINT64 R12;
  UINT64 R13;
  UINT64 R14;
  UINT64 R15;
  UINT64 Rip;
  UINT32 MxCsr;
  UINT8 Xmm6[16];
  UINT8 Xmm7[16];
  UINT8 Xmm8[16];
  UINT8 Xmm9[16];
  UINT8 Xmm10[16];
  UINT8 Xmm11[16];
  UINT8 Xmm12[16];
  UINT8 Xmm13[16];
  UINT8 Xmm14[16];
  UINT8 Xmm15[16];
} JumpContext;

#define JUMP_CONTEXT_ALIGNMENT 8

// Both are written in assembly, under these unmangled names in both builds.
// SetJump returns 0 when called, and again with LongJump's Value (never 0)
// when a LongJump on the same buffer resumes it.
extern "C" __attribute__((returns_twice)) UINTN EFIAPI SetJump(JumpContext *JumpBuffer);
extern "C" [[noreturn]] VOID EFIAPI LongJump(JumpContext *JumpBuffer, UINTN Value);

UINTN EFIAPI StrLen(const CHAR16 *String);
UINTN EFIAPI StrSize(const CHAR16 *String);
UINTN EFIAPI AsciiStrLen(const CHAR8 *String);
UINTN EFIAPI AsciiStrSize(const CHAR8 *String);
UINT64 EFIAPI DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder);
UINT64 EFIAPI DivideU64ByU32(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder);
UINT16 EFIAPI ReadUnaligned16(const UINT16 *Buffer);
UINT32 EFIAPI ReadUnaligned32(const UINT32 *Buffer);
