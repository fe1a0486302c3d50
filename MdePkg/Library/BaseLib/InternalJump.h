// Shared by SetJump.S, LongJump.S and their C++ checks.
//
// The byte offsets of the JumpContext fields (Library/BaseLib.h), in field
// order: the assembly addresses the record through these, and SetJump.cpp
// checks each one against the C++ layout, so the two cannot drift apart.
// The assembler's preprocessor reads this file too: C++ stays below the
// __ASSEMBLER__ guard.
#pragma once

#define JUMP_CONTEXT_RBX 0
#define JUMP_CONTEXT_RSP 8
#define JUMP_CONTEXT_RBP 16
#define JUMP_CONTEXT_RDI 24
#define JUMP_CONTEXT_RSI 32
#define JUMP_CONTEXT_R12 40
#define JUMP_CONTEXT_R13 48
#define JUMP_CONTEXT_R14 56
#define JUMP_CONTEXT_R15 64
#define JUMP_CONTEXT_RIP 72
#define JUMP_CONTEXT_MXCSR 80
// The vector registers follow MXCSR directly, so they sit 4 bytes off a
// 16-byte boundary: they are stored and loaded with unaligned moves.
#define JUMP_CONTEXT_XMM6 84
#define JUMP_CONTEXT_XMM7 100
#define JUMP_CONTEXT_XMM8 116
#define JUMP_CONTEXT_XMM9 132
#define JUMP_CONTEXT_XMM10 148
#define JUMP_CONTEXT_XMM11 164
#define JUMP_CONTEXT_XMM12 180
#define JUMP_CONTEXT_XMM13 196
#define JUMP_CONTEXT_XMM14 212
#define JUMP_CONTEXT_XMM15 228
#define JUMP_CONTEXT_SIZE 248

// Symbol attributes for the two object formats the assembly sources are
// built for: COFF in the image, ELF in the host build.
#ifdef __ELF__
#define JUMP_FUNCTION(Name) \
  .globl Name;              \
  .type Name, @function;    \
  Name:
#define JUMP_FUNCTION_END(Name) .size Name, . - Name
#define JUMP_CALL_TARGET(Name) Name@PLT
#else
#define JUMP_FUNCTION(Name) \
  .globl Name;              \
  .def Name;                \
  .scl 2;                   \
  .type 32;                 \
  .endef;                   \
  Name:
#define JUMP_FUNCTION_END(Name)
#define JUMP_CALL_TARGET(Name) Name
#endif

#ifndef __ASSEMBLER__
#include "Library/BaseLib.h"

// The buffer checks of both SetJump and LongJump.  Returns FALSE for a null
// buffer, which neither may use.
extern "C" BOOLEAN EFIAPI InternalAssertJumpBuffer(JumpContext *JumpBuffer);

// LongJump's checks.  Returns the value SetJump is to return a second time;
// does not return for a null buffer.
extern "C" UINTN EFIAPI InternalLongJumpCheck(JumpContext *JumpBuffer, UINTN Value);
#endif
