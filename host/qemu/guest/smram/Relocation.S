// The first SMI's handler.  It is part of the SMRAM program and named in its
// header; the program outside SMM copies it to ASEG_SMBASE + SMM_ENTRY_OFFSET
// with ASEG open, enables TSEG and raises the SMI.  In SMM it moves SMBASE to
// TSEG in the state save map (RSM reloads it from there), marks the mailbox
// (its address read from the header in TSEG) and returns.  Real-address-like
// mode, DS base 0 with a 4 GiB limit; only absolute addresses, so it runs
// wherever it is copied.
#include "Layout.h"

        .section .rodata
        .code16
        .globl relocation_stub, relocation_stub_end
relocation_stub:
        movl $ASEG_SMBASE + SAVE_STATE_SMBASE, %ebx
        movl $SMM_SMBASE, %eax
        movl %eax, (%ebx)
        movl $gSmmHeader + SMM_HEADER_MAILBOX, %ebx
        movl (%ebx), %ebx
        movl $1, %eax
        movl %eax, (%ebx)
        rsm
relocation_stub_end:
        .code64
