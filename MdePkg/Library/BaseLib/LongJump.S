// LongJump: restores the state SetJump recorded in a JumpContext and resumes
// at its return address, so that SetJump returns a second time, with Value.
//
// Microsoft x64 convention in both builds: JumpBuffer in rcx, Value in rdx.
// InternalLongJumpCheck (C++) makes the buffer and value checks first and
// returns the value SetJump is to return; it does not come back for a null
// buffer, which holds nothing to resume.

#include "InternalJump.h"

        .intel_syntax noprefix
        .text

JUMP_FUNCTION(LongJump)
        push    rcx                           // keep JumpBuffer across the check
        sub     rsp, 0x20                     // the callee's register home area
        call    JUMP_CALL_TARGET(InternalLongJumpCheck)
        add     rsp, 0x20
        pop     rcx

        // rax now holds SetJump's second result; load everything else back.
        mov     rbx, [rcx + JUMP_CONTEXT_RBX]
        mov     rsp, [rcx + JUMP_CONTEXT_RSP]
        mov     rbp, [rcx + JUMP_CONTEXT_RBP]
        mov     rdi, [rcx + JUMP_CONTEXT_RDI]
        mov     rsi, [rcx + JUMP_CONTEXT_RSI]
        mov     r12, [rcx + JUMP_CONTEXT_R12]
        mov     r13, [rcx + JUMP_CONTEXT_R13]
        mov     r14, [rcx + JUMP_CONTEXT_R14]
        mov     r15, [rcx + JUMP_CONTEXT_R15]
        ldmxcsr dword ptr [rcx + JUMP_CONTEXT_MXCSR]
        movdqu  xmm6, xmmword ptr [rcx + JUMP_CONTEXT_XMM6]
        movdqu  xmm7, xmmword ptr [rcx + JUMP_CONTEXT_XMM7]
        movdqu  xmm8, xmmword ptr [rcx + JUMP_CONTEXT_XMM8]
        movdqu  xmm9, xmmword ptr [rcx + JUMP_CONTEXT_XMM9]
        movdqu  xmm10, xmmword ptr [rcx + JUMP_CONTEXT_XMM10]
        movdqu  xmm11, xmmword ptr [rcx + JUMP_CONTEXT_XMM11]
        movdqu  xmm12, xmmword ptr [rcx + JUMP_CONTEXT_XMM12]
        movdqu  xmm13, xmmword ptr [rcx + JUMP_CONTEXT_XMM13]
        movdqu  xmm14, xmmword ptr [rcx + JUMP_CONTEXT_XMM14]
        movdqu  xmm15, xmmword ptr [rcx + JUMP_CONTEXT_XMM15]
        jmp     qword ptr [rcx + JUMP_CONTEXT_RIP]
JUMP_FUNCTION_END(LongJump)

#ifdef __ELF__
        .section .note.GNU-stack, "", @progbits
#endif
