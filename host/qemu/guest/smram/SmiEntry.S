// The SMI entry at SMBASE + SMM_ENTRY_OFFSET.  The processor enters SMM in a
// real-address-like mode: CS base SMBASE, the other segments base 0 with
// 4 GiB limits, paging and protection off.  The entry loads its own GDT,
// goes through 32-bit protected mode into 64-bit mode with the SMM page
// tables, allows SSE (the driver's jump context saves MXCSR and XMM6-15),
// loads the SMM IDT, calls the dispatcher on the SMM stack and returns with
// RSM, which restores the interrupted state from the state save map.
#include "Layout.h"
#include "LongMode.inc"

        .section .smi_entry, "ax"
        .code16
        .globl smi_entry
smi_entry:
        movl $smi_gdt_descriptor, %ebx
        lgdtl (%ebx)
        movl %cr0, %eax
        orl $CR0_PE, %eax
        movl %eax, %cr0
        ljmpl $SEL_CODE32, $smi_entry32

        .code32
smi_entry32:
        load_data_segments
        // EM and TS clear: SSE instructions run.
        enter_long_mode CR4_PAE | CR4_OSFXSR | CR4_OSXMMEXCPT, SMM_PAGE_TABLES, CR0_EM | CR0_TS, CR0_PG | CR0_MP, smi_entry64

        .code64
smi_entry64:
        lidt smi_idt_descriptor
        // RSP 16-byte aligned at the call, as both calling conventions ask:
        // compiled code, the driver's included, keeps 16-byte values (the
        // XMM registers its jump context saves, spilled SSE temporaries) on
        // the stack with aligned moves, which fault on a stack 8 bytes off.
        // SmiDispatch checks it, so a change here cannot go unnoticed.
        movq $smm_stack_top, %rsp
        call SmiDispatch
        rsm

        flat_gdt smi_gdt
        .balign 8
smi_idt_descriptor:
        .word 32 * 16 - 1
        .quad gSmmIdt

        .bss
        .balign 16
        .skip 65536
        .globl smm_stack_top
smm_stack_top:
