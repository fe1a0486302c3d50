// The 32 exception vectors of either program: each stub pushes an error
// code (a zero where the processor pushes none) and its vector, saves the
// general registers and calls OnException(frame); if that returns, the
// interrupted code resumes after the exception.
        .text
        .code64

.macro vector n, pushesError
vector_\n:
        .if \pushesError == 0
        pushq $0
        .endif
        pushq $\n
        jmp exception_common
.endm

        vector 0, 0
        vector 1, 0
        vector 2, 0
        vector 3, 0
        vector 4, 0
        vector 5, 0
        vector 6, 0
        vector 7, 0
        vector 8, 1
        vector 9, 0
        vector 10, 1
        vector 11, 1
        vector 12, 1
        vector 13, 1
        vector 14, 1
        vector 15, 0
        vector 16, 0
        vector 17, 1
        vector 18, 0
        vector 19, 0
        vector 20, 0
        vector 21, 1
        vector 22, 0
        vector 23, 0
        vector 24, 0
        vector 25, 0
        vector 26, 0
        vector 27, 0
        vector 28, 0
        vector 29, 1
        vector 30, 1
        vector 31, 0

exception_common:
        pushq %rax
        pushq %rbx
        pushq %rcx
        pushq %rdx
        pushq %rsi
        pushq %rdi
        pushq %rbp
        pushq %r8
        pushq %r9
        pushq %r10
        pushq %r11
        pushq %r12
        pushq %r13
        pushq %r14
        pushq %r15
        movq %rsp, %rdi
        call OnException
        popq %r15
        popq %r14
        popq %r13
        popq %r12
        popq %r11
        popq %r10
        popq %r9
        popq %r8
        popq %rbp
        popq %rdi
        popq %rsi
        popq %rdx
        popq %rcx
        popq %rbx
        popq %rax
        addq $16, %rsp
        iretq

        .section .rodata
        .balign 8
        .globl kVectorStubs
kVectorStubs:
        .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        .quad vector_\n
        .endr
