// SetJump: records the caller's callee-saved state into a JumpContext and
// returns 0.  LongJump later resumes at the recorded return address with that
// state, so that this call returns a second time with LongJump's value.
//
// Microsoft x64 convention in both builds: JumpBuffer arrives in rcx, the
// result leaves in rax.  The buffer checks are made first, in C++
// (InternalAssertJumpBuffer); a null buffer is reported and left untouched.

#include "InternalJump.h"

        .intel_syntax noprefix
        .text

JUMP_FUNCTION(SetJump)
        push    rcx                           // keep JumpBuffer across the check
        sub     rsp, 0x20                     // the callee's register home area
        call    JUMP_CALL_TARGET(InternalAssertJumpBuffer)
        add     rsp, 0x20
        pop     rcx
        test    al, al
        jz      1f                            // null: nothing to record

        // The check is an EFIAPI function: every register recorded below
        // still holds the caller's value.
        mov     rdx, [rsp]                    // return address
        mov     [rcx + JUMP_CONTEXT_RBX], rbx
        lea     rax, [rsp + 8]                // the stack pointer once this call has returned
        mov     [rcx + JUMP_CONTEXT_RSP], rax
        mov     [rcx + JUMP_CONTEXT_RBP], rbp
        mov     [rcx + JUMP_CONTEXT_RDI], rdi
        mov     [rcx + JUMP_CONTEXT_RSI], rsi
        mov     [rcx + JUMP_CONTEXT_R12], r12
        mov     [rcx + JUMP_CONTEXT_R13], r13
        mov     [rcx + JUMP_CONTEXT_R14], r14
        mov     [rcx + JUMP_CONTEXT_R15], r15
        mov     [rcx + JUMP_CONTEXT_RIP], rdx
        stmxcsr dword ptr [rcx + JUMP_CONTEXT_MXCSR]
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM6], xmm6
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM7], xmm7
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM8], xmm8
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM9], xmm9
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM10], xmm10
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM11], xmm11
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM12], xmm12
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM13], xmm13
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM14], xmm14
        movdqu  xmmword ptr [rcx + JUMP_CONTEXT_XMM15], xmm15
1:
        xor     eax, eax
        ret
JUMP_FUNCTION_END(SetJump)

#ifdef __ELF__
        .section .note.GNU-stack, "", @progbits
#endif
