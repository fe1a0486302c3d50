// Where things lie on QEMU's q35 machine (started with -m 512M) for the
// guest's two programs, the one outside SMM and the one in SMRAM, and how
// they talk to each other and to the rig.  Macros only, so the assembly can
// include it.
#pragma once

#include "MpLayout.h"
#include "X86.h"

// SMRAM: TSEG, 1 MiB at the top of the 512 MiB of RAM (the guest checks the
// place: with T_EN set, reads from outside SMM give all ones from here on,
// the byte below stays RAM).
#define TSEG_BASE 0x1FF00000
#define TSEG_SIZE 0x00100000

// CPU 0's SMBASE is relocated to the bottom of TSEG (the others' follow it,
// MpLayout.h): the SMI entry lies at SMBASE + SMM_ENTRY_OFFSET and QEMU's
// 64-bit state save map ends at SMBASE + 0xFFFF.
#define SMM_SMBASE TSEG_BASE

// The SMM page tables (PML4, PDPT, four page directories of 2 MiB pages:
// the low 4 GiB identity-mapped, PCI Express window included), built by the
// program outside SMM while TSEG is still plain RAM.
#define SMM_PAGE_TABLES (TSEG_BASE + 0x1000)
// The SMRAM program's code and data start here, clear of every CPU's state
// save map.
#define SMM_PROGRAM (TSEG_BASE + 0x12000)
// Offset of the mailbox's address in the SMRAM program's header (SmmHeader),
// which the relocation stub reads.
#define SMM_HEADER_MAILBOX 40

// The console UART the driver uses on q35 and the CMOS byte that selects its
// rate.  (The PCI Express window's base and the GPIO lock's place come from
// the board: the rig's command line, GpioLock.h.)
#define CONSOLE_UART 0x3F8
#define CMOS_BAUD_SELECTOR 0x6F

// APM commands the SMI dispatcher knows.  QEMU's ICH9 has no GPIO-unlock SMI
// source: command 48 stands in for it.
#define APM_RELOCATE 0x00
#define APM_PROBE 0x01
#define APM_LOAD_DRIVER 0xD1
#define APM_GPIO_UNLOCK 48

// Marker values, written to POST_PORT around the module's own register
// accesses (the rig cuts QEMU's trace at them).
#define MARKER_PORT POST_PORT
#define MARK_ENTRY_BEGIN 0xE1
#define MARK_ENTRY_END 0xE2
#define MARK_SMI_BEGIN 0xE3
#define MARK_SMI_END 0xE4

// isa-debug-exit values.
#define EXIT_PASS 0x00  // QEMU exit status 1
#define EXIT_FAIL 0x01  // QEMU exit status 3

// Segment selectors of both programs' GDTs (LongMode.inc).
#define SEL_CODE32 0x08
#define SEL_DATA 0x10
#define SEL_CODE64 0x18
