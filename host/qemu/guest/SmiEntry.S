// The SMI entry at SMBASE + 0x8000.  The processor enters SMM in a real-
// address-like mode: CS base SMBASE, the other segments base 0 with 4 GiB
// limits, paging and protection off.  The entry loads its own GDT, goes
// through 32-bit protected mode into 64-bit mode with the SMM page tables,
// allows SSE (the driver's jump context saves MXCSR and XMM6-15), loads the
// SMM IDT, calls the dispatcher on the SMM stack and returns with RSM, which
// restores the interrupted state from the state save map.
#include "Layout.h"

        .section .smi_entry, "ax"
        .code16
        .globl smi_entry
smi_entry:
        movl $smi_gdt_descriptor, %ebx
        lgdtl (%ebx)
        movl %cr0, %eax
        orl $0x1, %eax                  // PE
        movl %eax, %cr0
        ljmpl $SEL_CODE32, $smi_entry32

        .code32
smi_entry32:
        movl $SEL_DATA, %eax
        movl %eax, %ds
        movl %eax, %es
        movl %eax, %ss
        movl %eax, %fs
        movl %eax, %gs
        movl %cr4, %eax
        orl $0x620, %eax                // PAE, OSFXSR, OSXMMEXCPT
        movl %eax, %cr4
        movl $SMM_PAGE_TABLES, %eax
        movl %eax, %cr3
        movl $0xC0000080, %ecx          // EFER
        rdmsr
        orl $0x100, %eax                // LME
        wrmsr
        movl %cr0, %eax
        andl $~0xC, %eax                // EM and TS clear: SSE instructions run
        orl $0x80000002, %eax           // PG, MP
        movl %eax, %cr0
        ljmp $SEL_CODE64, $smi_entry64

        .code64
smi_entry64:
        lidt smi_idt_descriptor
        movq $smm_stack_top, %rsp
        call SmiDispatch
        rsm

        .balign 8
smi_gdt:
        .quad 0
        .quad 0x00CF9A000000FFFF        // SEL_CODE32
        .quad 0x00CF92000000FFFF        // SEL_DATA
        .quad 0x00AF9A000000FFFF        // SEL_CODE64
smi_gdt_end:
smi_gdt_descriptor:
        .word smi_gdt_end - smi_gdt - 1
        .long smi_gdt
        .balign 8
smi_idt_descriptor:
        .word 32 * 16 - 1
        .quad gSmmIdt

        .bss
        .balign 16
        .skip 65536
        .globl smm_stack_top
smm_stack_top:
