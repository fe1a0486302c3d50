// The other CPUs' way in.  CPU 0 copies the trampoline to AP_TRAMPOLINE and
// sends INIT, then two start-up IPIs with that page's number: each other CPU
// starts there in real mode (CS = the page's paragraph, IP 0), loads the
// GDT below, enters protected mode and jumps to ap_start32 in this program,
// which takes it into 64-bit mode with this program's page tables; there it
// takes the stack of its APIC ID and calls ApMain(APIC ID).  A CPU whose
// APIC ID has no stack halts.
//
// ap_nmi is the other CPUs' NMI handler: CPU 0 wakes a halted CPU with an
// NMI, and the handler only returns.
#include "Layout.h"
#include "LongMode.inc"

        .section .rodata
        .code16
        .globl ap_trampoline, ap_trampoline_end
ap_trampoline:
        cli
        movw %cs, %ax
        movw %ax, %ds
        lgdtl ap_gdt_pointer - ap_trampoline
        movl %cr0, %eax
        orl $CR0_PE, %eax
        movl %eax, %cr0
        ljmpl $SEL_CODE32, $ap_start32
        .balign 8
ap_gdt_pointer:
        .word ap_gdt_end - ap_gdt - 1
        .long ap_gdt
ap_trampoline_end:

        flat_gdt ap_gdt

        .text
        .code32
ap_start32:
        load_data_segments
        enter_long_mode CR4_PAE, pml4, 0, CR0_PG | CR0_PE, ap_start64

        .code64
ap_start64:
        movl $1, %eax
        cpuid
        shrl $24, %ebx
        cmpl $MAX_CPUS, %ebx
        jae 2f
        movl %ebx, %edi
        leaq 1(%rbx), %rsp
        shlq $AP_STACK_SHIFT, %rsp
        addq $ap_stacks, %rsp
        call ApMain
2:      cli
        hlt
        jmp 2b

        .globl ap_nmi
ap_nmi:
        iretq

        .bss
        .balign 16
ap_stacks:
        .skip MAX_CPUS << AP_STACK_SHIFT
