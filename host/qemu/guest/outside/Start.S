// The program outside SMM: QEMU's PVH boot enters it in 32-bit protected
// mode, paging off, EBX the start info.  It loads its own GDT, identity-maps
// the low 4 GiB with 2 MiB pages, enters 64-bit mode and calls GuestMain.
#include "Layout.h"
#include "LongMode.inc"

// PVH entry note: QEMU reads a pointer-sized address after the name for a
// 64-bit ELF.
        .section .note.pvh, "a"
        .balign 4
        .long 4, 8, PVH_NOTE_TYPE_PHYS32_ENTRY
        .asciz "Xen"
        .balign 4
        .quad pvh_start

        .section .pvh_start, "ax"
        .code32
        .globl pvh_start
pvh_start:
        cli
        movl %ebx, %esi
        lgdt gdt_descriptor
        ljmp $SEL_CODE32, $1f
1:      load_data_segments
        movl $stack_top, %esp

        // Zero the program's uninitialised data.
        movl $__bss_start, %edi
        movl $__bss_end, %ecx
        subl %edi, %ecx
        xorl %eax, %eax
        cld
        rep stosb

        // Page directories: 2048 entries of 2 MiB, present, writable, large.
        movl $page_directories, %edi
        movl $PTE_PRESENT | PTE_WRITABLE | PTE_LARGE, %eax
        movl $2048, %ecx
2:      movl %eax, (%edi)
        movl $0, 4(%edi)
        addl $LARGE_PAGE_SIZE, %eax
        addl $8, %edi
        loop 2b
        // PDPT: four entries, one per GiB; PML4: one entry.
        movl $page_directories + PTE_PRESENT + PTE_WRITABLE, %eax
        movl $pdpt, %edi
        movl $4, %ecx
3:      movl %eax, (%edi)
        addl $PAGE_SIZE, %eax
        addl $8, %edi
        loop 3b
        movl $pdpt + PTE_PRESENT + PTE_WRITABLE, pml4

        // SSE allowed (EM and TS clear): the attacker keeps state in MXCSR and XMM6 across its SMIs.
        enter_long_mode CR4_PAE | CR4_OSFXSR | CR4_OSXMMEXCPT, pml4, CR0_EM | CR0_TS, CR0_PG | CR0_PE | CR0_MP, 4f

        .code64
4:      movl %esi, %edi
        movq $stack_top, %rsp
        call GuestMain
        movl $EXIT_FAIL, %eax
        outl %eax, $DEBUG_EXIT_PORT
5:      hlt
        jmp 5b

        .section .rodata
        flat_gdt gdt

        .bss
        .balign PAGE_SIZE
        .globl pml4                     // the other CPUs' page tables too (Ap.S)
pml4:   .skip PAGE_SIZE
pdpt:   .skip PAGE_SIZE
page_directories:
        .skip 4 * PAGE_SIZE
        .balign 16
        .skip 65536
stack_top:
