// The SMRAM program's bytes (linked for TSEG by Smm.ld), carried by the
// program outside SMM, which copies them into TSEG before enabling it.
        .section .rodata
        .balign 16
        .globl smm_program, smm_program_end
smm_program:
        .incbin SMM_PROGRAM_BIN
smm_program_end:
