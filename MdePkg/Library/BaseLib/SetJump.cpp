// The jump context's layout, and the buffer checks SetJump and LongJump make
// before they touch the record (SetJump.S, LongJump.S).

#include "InternalJump.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

static_assert(OFFSET_OF(JumpContext, Rbx) == JUMP_CONTEXT_RBX, "Rbx offset");
static_assert(OFFSET_OF(JumpContext, Rsp) == JUMP_CONTEXT_RSP, "Rsp offset");
static_assert(OFFSET_OF(JumpContext, Rbp) == JUMP_CONTEXT_RBP, "Rbp offset");
static_assert(OFFSET_OF(JumpContext, Rdi) == JUMP_CONTEXT_RDI, "Rdi offset");
static_assert(OFFSET_OF(JumpContext, Rsi) == JUMP_CONTEXT_RSI, "Rsi offset");
static_assert(OFFSET_OF(JumpContext, R12) == JUMP_CONTEXT_R12, "R12 offset");
static_assert(OFFSET_OF(JumpContext, R13) == JUMP_CONTEXT_R13, "R13 offset");
static_assert(OFFSET_OF(JumpContext, R14) == JUMP_CONTEXT_R14, "R14 offset");
static_assert(OFFSET_OF(JumpContext, R15) == JUMP_CONTEXT_R15, "R15 offset");
static_assert(OFFSET_OF(JumpContext, Rip) == JUMP_CONTEXT_RIP, "Rip offset");
static_assert(OFFSET_OF(JumpContext, MxCsr) == JUMP_CONTEXT_MXCSR, "MxCsr offset");
static_assert(OFFSET_OF(JumpContext, Xmm6) == JUMP_CONTEXT_XMM6, "Xmm6 offset");
static_assert(OFFSET_OF(JumpContext, Xmm7) == JUMP_CONTEXT_XMM7, "Xmm7 offset");
static_assert(OFFSET_OF(JumpContext, Xmm8) == JUMP_CONTEXT_XMM8, "Xmm8 offset");
static_assert(OFFSET_OF(JumpContext, Xmm9) == JUMP_CONTEXT_XMM9, "Xmm9 offset");
static_assert(OFFSET_OF(JumpContext, Xmm10) == JUMP_CONTEXT_XMM10, "Xmm10 offset");
static_assert(OFFSET_OF(JumpContext, Xmm11) == JUMP_CONTEXT_XMM11, "Xmm11 offset");
static_assert(OFFSET_OF(JumpContext, Xmm12) == JUMP_CONTEXT_XMM12, "Xmm12 offset");
static_assert(OFFSET_OF(JumpContext, Xmm13) == JUMP_CONTEXT_XMM13, "Xmm13 offset");
static_assert(OFFSET_OF(JumpContext, Xmm14) == JUMP_CONTEXT_XMM14, "Xmm14 offset");
static_assert(OFFSET_OF(JumpContext, Xmm15) == JUMP_CONTEXT_XMM15, "Xmm15 offset");
static_assert(sizeof(JumpContext) == JUMP_CONTEXT_SIZE, "JumpContext size");
static_assert(alignof(JumpContext) == JUMP_CONTEXT_ALIGNMENT, "JumpContext is 8-byte aligned");

BOOLEAN EFIAPI InternalAssertJumpBuffer(JumpContext *JumpBuffer) {
  ASSERT(JumpBuffer != NULL);
  ASSERT(((UINTN)JumpBuffer & (JUMP_CONTEXT_ALIGNMENT - 1)) == 0);

  // A misaligned record still works (the moves tolerate any alignment); a
  // null one cannot be used at all.
  return (BOOLEAN)(JumpBuffer != nullptr);
}
