// Where things lie on QEMU's q35 machine (started with -m 512M) for the
// guest's two programs, the one outside SMM and the one in SMRAM, and their
// assembly.  Macros only, so the assembly can include it.
#pragma once

// SMRAM: TSEG, 1 MiB at the top of the 512 MiB of RAM (the guest checks the
// place: with T_EN set, reads from outside SMM give all ones from here on,
// the byte below stays RAM).
#define TSEG_BASE 0x1FF00000
#define TSEG_SIZE 0x00100000

// SMBASE is relocated to the bottom of TSEG: the SMI entry lies at
// SMBASE + 0x8000 and QEMU's 64-bit state save map ends at SMBASE + 0xFFFF.
#define SMM_SMBASE TSEG_BASE
#define SMM_ENTRY_OFFSET 0x8000
#define SMM_SAVE_STATE_FIRST 0xFC00  // kept free: the processor writes its state save map up here
#define SAVE_STATE_REVISION 0xFEFC   // revision ID, 0x00020064 for QEMU's 64-bit map
#define SAVE_STATE_SMBASE 0xFF00     // SMBASE field; RSM reloads SMBASE from it
#define SMM_REVISION_64 0x00020064

// The SMM page tables (PML4, PDPT, four page directories of 2 MiB pages:
// the low 4 GiB identity-mapped, PCI Express window included), built by the
// program outside SMM while TSEG is still plain RAM.
#define SMM_PAGE_TABLES (TSEG_BASE + 0x1000)
// The SMRAM program's code and data start here, clear of the state save map.
#define SMM_PROGRAM (TSEG_BASE + 0x10000)

// At power-on SMBASE is 0x30000; QEMU's default BIOS leaves it at 0xA0000
// (ASEG), where the relocation stub goes for the first SMI.
#define ASEG_SMBASE 0xA0000

// Q35 MCH (0:0.0) and ICH9 LPC (0:31.0) registers.
#define MCH_PCIEXBAR 0x60  // 64-bit: base in bits 35:28, length in 2:1 (00: 256 MiB), enable in bit 0
#define MCH_SMRAM 0x9D     // D_OPEN 0x40, D_CLS 0x20, D_LCK 0x10, G_SMRAME 0x08, C_BASE_SEG 0x02
#define MCH_ESMRAMC 0x9E   // T_EN 0x01, TSEG size in bits 2:1 (00: 1 MiB)
#define SMRAM_CLOSED 0x0A  // G_SMRAME, ASEG at 0xA0000
#define SMRAM_OPEN 0x4A    // the same with D_OPEN: code outside SMM reaches ASEG
#define SMRAM_LOCKED 0x1A  // the same with D_LCK: 0x9D and 0x9E no longer change
#define ESMRAMC_TSEG_1M 0x39
#define ESMRAMC_TSEG_OFF 0x38
#define PCIE_BASE 0x80000000
#define LPC_GPIO_LOCK 0xF804C  // bus 0, device 31, function 0, register 0x4C

// Ports.
#define APM_CONTROL_PORT 0xB2    // a write raises an SMI; a read gives the command back
#define DEBUG_CONSOLE_PORT 0xE9  // the guest's report (QEMU's debug console)
#define DEBUG_EXIT_PORT 0xF4     // isa-debug-exit: QEMU exits with (value << 1) | 1
#define MARKER_PORT 0x80         // trace markers (the host drops these writes)

// APM commands the SMI dispatcher knows.  QEMU's ICH9 has no GPIO-unlock SMI
// source: command 48 stands in for it.
#define APM_RELOCATE 0x00
#define APM_LOAD_DRIVER 0xD1
#define APM_GPIO_UNLOCK 48

// Marker values around the module's own register accesses.
#define MARK_ENTRY_BEGIN 0xE1
#define MARK_ENTRY_END 0xE2
#define MARK_SMI_BEGIN 0xE3
#define MARK_SMI_END 0xE4

// isa-debug-exit values.
#define EXIT_PASS 0x00  // QEMU exit status 1
#define EXIT_FAIL 0x01  // QEMU exit status 3

// Segment selectors of both programs' GDTs.
#define SEL_CODE32 0x08
#define SEL_DATA 0x10
#define SEL_CODE64 0x18
