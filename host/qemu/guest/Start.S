// The program outside SMM: QEMU's PVH boot enters it in 32-bit protected
// mode, paging off, EBX the start info.  It loads its own GDT, identity-maps
// the low 4 GiB with 2 MiB pages, enters 64-bit mode and calls GuestMain.
#include "Layout.h"

// PVH entry note (XEN_ELFNOTE_PHYS32_ENTRY): QEMU reads a pointer-sized
// address after the name for a 64-bit ELF.
        .section .note.pvh, "a"
        .balign 4
        .long 4, 8, 18
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
1:      movl $SEL_DATA, %eax
        movl %eax, %ds
        movl %eax, %es
        movl %eax, %ss
        movl %eax, %fs
        movl %eax, %gs
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
        movl $0x83, %eax
        movl $2048, %ecx
2:      movl %eax, (%edi)
        movl $0, 4(%edi)
        addl $0x200000, %eax
        addl $8, %edi
        loop 2b
        // PDPT: four entries, one per GiB; PML4: one entry.
        movl $page_directories + 3, %eax
        movl $pdpt, %edi
        movl $4, %ecx
3:      movl %eax, (%edi)
        addl $0x1000, %eax
        addl $8, %edi
        loop 3b
        movl $pdpt + 3, pml4

        movl %cr4, %eax
        orl $0x20, %eax                 // PAE
        movl %eax, %cr4
        movl $pml4, %eax
        movl %eax, %cr3
        movl $0xC0000080, %ecx          // EFER
        rdmsr
        orl $0x100, %eax                // LME
        wrmsr
        movl %cr0, %eax
        orl $0x80000001, %eax           // PG, PE
        movl %eax, %cr0
        ljmp $SEL_CODE64, $4f

        .code64
4:      movl %esi, %edi
        movq $stack_top, %rsp
        call GuestMain
        movl $EXIT_FAIL, %eax
        outl %eax, $DEBUG_EXIT_PORT
5:      hlt
        jmp 5b

        .section .rodata
        .balign 8
gdt:    .quad 0
        .quad 0x00CF9A000000FFFF        // SEL_CODE32: flat 32-bit code
        .quad 0x00CF92000000FFFF        // SEL_DATA: flat data
        .quad 0x00AF9A000000FFFF        // SEL_CODE64: 64-bit code
gdt_end:
gdt_descriptor:
        .word gdt_end - gdt - 1
        .long gdt

// The first SMI's handler, copied to ASEG_SMBASE + 0x8000 with ASEG open:
// it moves SMBASE to TSEG in the state save map (RSM reloads it from there),
// marks the mailbox and returns.  Real-address-like mode, DS base 0.
        .section .rodata
        .code16
        .globl relocation_stub, relocation_stub_end
relocation_stub:
        movl $ASEG_SMBASE + SAVE_STATE_SMBASE, %ebx
        movl $SMM_SMBASE, %eax
        movl %eax, (%ebx)
        movl $gMailbox, %ebx
        movl $1, %eax
        movl %eax, (%ebx)
        rsm
relocation_stub_end:
        .code64

        .bss
        .balign 4096
pml4:   .skip 4096
pdpt:   .skip 4096
page_directories:
        .skip 4 * 4096
        .balign 16
        .skip 65536
stack_top:
