// The SMI entry at SMBASE + SMM_ENTRY_OFFSET.  The processor enters SMM in a
// real-address-like mode: CS base SMBASE, the other segments base 0 with
// 4 GiB limits, paging and protection off.  The entry loads its own GDT,
// goes through 32-bit protected mode into 64-bit mode with the SMM page
// tables (no-execute bits in force, read-only pages holding against its own
// writes), allows SSE (the driver's jump context saves MXCSR and XMM6-15),
// loads the SMM IDT, saves the interrupted code's SSE state on this CPU's
// SMM stack (the state save map holds none of it) and gives SMM the reset
// MXCSR, calls the rendezvous, puts the SSE state back and returns with RSM,
// which restores the rest from the state save map.
// Every CPU has its own copy of this entry at its own SMBASE + 0x8000 (the
// program outside SMM copies it there): the copies run only the 16-bit part
// and jump to the one 32-bit part.  The code segment there, SMBASE >> 4,
// gives the SMBASE the CPU actually came in at (SMBASEs lie in TSEG, which
// starts on a 1 MiB boundary); CPUID gives the local APIC ID.
#include "Layout.h"
#include "LongMode.inc"

        .section .smi_entry, "ax"
        .code16
        .globl smi_entry
smi_entry:
        movw %cs, %si
        movl $smi_gdt_descriptor, %ebx
        lgdtl (%ebx)
        movl %cr0, %eax
        orl $CR0_PE, %eax
        movl %eax, %cr0
        ljmpl $SEL_CODE32, $smi_entry32

        .code32
smi_entry32:
        load_data_segments
        movl $MSR_EFER, %ecx
        rdmsr
        orl $EFER_NXE, %eax
        wrmsr
        // EM and TS clear: SSE instructions run.
        enter_long_mode CR4_PAE | CR4_OSFXSR | CR4_OSXMMEXCPT, SMM_PAGE_TABLES, CR0_EM | CR0_TS, CR0_PG | CR0_MP | CR0_WP, smi_entry64

        .code64
smi_entry64:
        lidt smi_idt_descriptor
        // RSP 16-byte aligned at the call, as both calling conventions ask:
        // compiled code, the driver's included, keeps 16-byte values (the
        // XMM registers its jump context saves, spilled SSE temporaries) on
        // the stack with aligned moves, which fault on a stack 8 bytes off.
        // SmiDispatch checks it, so a change here cannot go unnoticed.  Each
        // CPU's stack top lies a multiple of 16 KiB past smm_stacks, which
        // is 16-byte aligned.
        movzwl %si, %esi
        shll $4, %esi
        orl $TSEG_BASE, %esi
        movl $1, %eax
        cpuid
        shrl $24, %ebx
        cmpl $MAX_CPUS, %ebx
        jae 1f
        movl %ebx, %edi
        leaq 1(%rbx), %rsp
        shlq $SMM_CPU_STACK_SHIFT, %rsp
        addq $smm_stacks, %rsp
        subq $512, %rsp                 // FXSAVE's area, 16-byte aligned as the stack is
        fxsave64 (%rsp)
        ldmxcsr smm_mxcsr
        call SmiRendezvous              // (APIC ID, SMBASE)
        fxrstor64 (%rsp)
        rsm
1:      movq $smm_stacks + (1 << SMM_CPU_STACK_SHIFT), %rsp
        ud2                             // an APIC ID with no stack: reported as an exception in SMM

smm_mxcsr:
        .long MXCSR_RESET

        flat_gdt smi_gdt
        .balign 8
smi_idt_descriptor:
        .word 32 * 16 - 1
        .quad gSmmIdt
        .globl smi_entry_end
smi_entry_end:

        .bss
        .balign 16
        .globl smm_stacks
smm_stacks:
        .skip MAX_CPUS << SMM_CPU_STACK_SHIFT
