// The first SMI's handler of each CPU.  It is part of the SMRAM program and
// named in its header; the program outside SMM copies it to
// SMBASE + SMM_ENTRY_OFFSET for the SMBASEs CPUs have before relocation
// (ASEG_SMBASE, where QEMU's BIOS left CPU 0, opened for the copy; and
// POWER_ON_SMBASE), enables TSEG and raises one SMI at one CPU at a time.
// In SMM it finds its own SMBASE from the code segment (SMBASE >> 4 below
// 1 MiB), writes the new SMBASE the mailbox gives (its address read from the
// header in TSEG) into its state save map (RSM reloads it from there), says
// which SMBASE it moved and returns.  Real-address-like mode, DS base 0 with
// a 4 GiB limit; only absolute addresses, so it runs wherever it is copied.
#include "Layout.h"

        .section .rodata
        .code16
        .globl relocation_stub, relocation_stub_end
relocation_stub:
        movl $gSmmHeader + SMM_HEADER_MAILBOX, %ebx
        movl (%ebx), %ebx
        movw %cs, %cx
        movzwl %cx, %ecx
        shll $4, %ecx
        movl MAILBOX_RELOCATE_TO(%ebx), %eax
        movl %eax, SAVE_STATE_SMBASE(%ecx)
        movl %ecx, MAILBOX_RELOCATED_FROM(%ebx)
        lock incl MAILBOX_RELOCATED(%ebx)
        rsm
relocation_stub_end:
        .code64
