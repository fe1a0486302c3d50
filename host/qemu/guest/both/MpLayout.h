// Several CPUs in SMM: where each CPU's SMBASE goes, and what the program
// outside SMM, the SMRAM program and the rig agree on.  Macros only, so the
// assembly can include it.
#pragma once

// CPUs the guest runs with; each is known by its local APIC ID, which must be
// below this (QEMU numbers them 0, 1, 2... with -smp N up to 8).
#define MAX_CPUS 8

// CPU i's SMBASE is TSEG_BASE + i * SMBASE_STRIDE: its SMI entry at
// SMBASE + 0x8000 and its state save map at SMBASE + 0xFE00..0xFFFF.  With a
// stride of 1 KiB the entries (each at most SMBASE_STRIDE bytes) lie side by
// side from TSEG_BASE + 0x8000, the state save maps side by side from
// TSEG_BASE + 0xFE00, and neither run reaches the other; the SMRAM program
// starts past the last map.
#define SMBASE_STRIDE 0x400
#define SMM_ENTRY_AREA_SIZE (MAX_CPUS * SMBASE_STRIDE)
#define SMM_SAVE_STATE_LAST_END (0x10000 + (MAX_CPUS - 1) * SMBASE_STRIDE)
// Each CPU's stack in SMRAM.
#define SMM_CPU_STACK_SHIFT 14  // 16 KiB

// The real-mode trampoline the other CPUs start in (INIT-SIPI-SIPI): a page
// below 1 MiB, its page number the SIPI vector.  The CPUs QEMU's BIOS left
// behind still have the power-on SMBASE, 0x30000.
#define AP_TRAMPOLINE 0x8000
#define POWER_ON_SMBASE 0x30000
#define AP_STACK_SHIFT 14  // 16 KiB each, outside SMRAM

// Local APIC (xAPIC, memory-mapped).
#define LAPIC_BASE 0xFEE00000
#define LAPIC_ID 0x20
#define LAPIC_SVR 0xF0
#define LAPIC_ICR_LOW 0x300
#define LAPIC_ICR_HIGH 0x310
#define LAPIC_SVR_ENABLE 0x100
#define ICR_DELIVERY_SMI 0x200
#define ICR_DELIVERY_NMI 0x400
#define ICR_INIT_ASSERT 0x4500         // INIT, level assert
#define ICR_STARTUP 0x4600             // start-up IPI; the vector is the page number
#define ICR_ALL_BUT_SELF 0xC0000       // destination shorthand
#define ICR_PENDING 0x1000             // delivery status

// QEMU's firmware configuration device: selector and data ports, the DMA
// address registers (big-endian), the CPU count and the file directory.
#define FW_CFG_SELECTOR_PORT 0x510
#define FW_CFG_DATA_PORT 0x511
#define FW_CFG_DMA_HIGH_PORT 0x514
#define FW_CFG_DMA_LOW_PORT 0x518
#define FW_CFG_ID 0x01
#define FW_CFG_ID_DMA 0x02
#define FW_CFG_NB_CPUS 0x05
#define FW_CFG_FILE_DIR 0x19
#define FW_CFG_DMA_ERROR 0x01
#define FW_CFG_DMA_SELECT 0x08
#define FW_CFG_DMA_WRITE 0x10
// ICH9's SMI features: bit 0 broadcasts every APM SMI to all CPUs.
#define SMI_FEATURE_BROADCAST 0x1

// APM command: every CPU is relocated and broadcast negotiated; from this
// SMI on, the rendezvous waits for every CPU the SMRAM program has seen.
#define APM_MP_READY 0xD2

// The mailbox fields the relocation stub uses (Guest.h checks them).
#define MAILBOX_RELOCATED 0
#define MAILBOX_RELOCATE_TO 8
#define MAILBOX_RELOCATED_FROM 12

// Bounds on the rendezvous, in time-stamp counter ticks (about 0.1 s and 1 s
// at this machine kind's 2.6 GHz).
#define RENDEZVOUS_ARRIVAL_TICKS 0x10000000ull
#define RENDEZVOUS_RELEASE_TICKS 0xA0000000ull
