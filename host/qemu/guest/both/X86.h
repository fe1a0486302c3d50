// The x86 and Q35/ICH9 facts the guest's two programs rely on, by name:
// control-register and EFER bits, page-table entry bits, the PVH boot
// protocol's values, and the chipset's registers, values and IDs.  Macros
// only, so the assembly includes it as the C++ does.
#pragma once

// CR0.
#define CR0_PE 0x00000001  // protected mode
#define CR0_MP 0x00000002  // WAIT/FWAIT follow TS
#define CR0_EM 0x00000004  // x87 emulation (SSE instructions fault while set)
#define CR0_TS 0x00000008  // task switched (the first FPU/SSE instruction faults)
#define CR0_WP 0x00010000  // write protect: read-only pages hold against supervisor writes too
#define CR0_PG 0x80000000  // paging

// CR4.
#define CR4_PAE 0x00000020         // physical address extension (long mode needs it)
#define CR4_OSFXSR 0x00000200      // FXSAVE/FXRSTOR and SSE instructions allowed
#define CR4_OSXMMEXCPT 0x00000400  // SIMD floating-point exceptions delivered as #XM

// Model-specific registers.
#define MSR_EFER 0xC0000080
#define EFER_LME 0x00000100  // long mode enable
#define EFER_NXE 0x00000800  // the no-execute bit of page-table entries applies

// Page-table entries (every level), and the size of a large page.
#define PTE_PRESENT 0x001
#define PTE_WRITABLE 0x002
#define PTE_LARGE 0x080  // in a page directory: a 2 MiB page
#define PTE_NX 0x8000000000000000  // no instruction fetch (with EFER_NXE)
#define PF_ERROR_PRESENT 0x01  // page-fault error code: a protection fault, not a page that is missing
#define PF_ERROR_WRITE 0x02
#define PF_ERROR_FETCH 0x10
#define LARGE_PAGE_SIZE 0x200000
#define PAGE_SIZE 0x1000

// 64-bit IDT gate type: present, DPL 0, interrupt gate (interrupts stay off).
#define IDT_INTERRUPT_GATE 0x8E
// Exception vectors.
#define VECTOR_BREAKPOINT 3
#define VECTOR_PAGE_FAULT 14

// MXCSR as the processor resets it: every SIMD exception masked.
#define MXCSR_RESET 0x1F80

// PVH boot: the ELF note that gives the 32-bit entry, and the start info's
// magic value.
#define PVH_NOTE_TYPE_PHYS32_ENTRY 18
#define PVH_START_INFO_MAGIC 0x336EC578

// PCI configuration mechanism #1.
#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
#define PCI_CONFIG_ENABLE 0x80000000
// A function's configuration space in the PCI Express window:
// bus << 20 | device << 15 | function << 12.
#define PCIE_FUNCTION_OFFSET(device, function) (((device) << 15) | ((function) << 12))

// Q35 MCH, host bridge at 0:0.0.
#define MCH_PCIEXBAR 0x60  // 64-bit: base in bits 35:28, length in 2:1 (00: 256 MiB), enable in bit 0
#define PCIEXBAR_ENABLE 0x01
#define PCIEXBAR_ALIGNMENT 0x10000000  // 256 MiB
#define MCH_SMRAM 0x9D                 // D_OPEN 0x40, D_CLS 0x20, D_LCK 0x10, G_SMRAME 0x08, C_BASE_SEG 0x02
#define MCH_ESMRAMC 0x9E               // T_EN 0x01, TSEG size in bits 2:1 (00: 1 MiB)
#define SMRAM_CLOSED 0x0A              // G_SMRAME, ASEG at 0xA0000
#define SMRAM_OPEN 0x4A                // the same with D_OPEN: code outside SMM reaches ASEG
#define SMRAM_LOCKED 0x1A              // the same with D_LCK: 0x9D and 0x9E no longer change
#define ESMRAMC_TSEG_1M 0x39
#define ESMRAMC_TSEG_OFF 0x38

// ICH9 LPC bridge at 0:31.0.
#define LPC_DEVICE 31
#define LPC_FUNCTION 0
#define ICH9_LPC_ID 0x29188086  // device 0x2918, vendor 0x8086
#define LPC_PMBASE 0x40          // ACPI I/O base in bits 15:7
#define LPC_ACPI_CNTL 0x44       // bit 7: the ACPI I/O range decodes
#define ACPI_CNTL_ACPI_EN 0x80
#define ICH9_PMBASE_DEFAULT 0x600
// In the ACPI I/O range: SMI_EN and SMI_STS.
#define ICH9_SMI_EN 0x30
#define SMI_EN_GBL_SMI_EN 0x01  // any SMI at all
#define SMI_EN_EOS 0x02         // end of SMI: set on the way out, so the next SMI# can be raised
#define SMI_EN_APMC_EN 0x20     // a write to the APM control port raises an SMI
#define ICH9_SMI_STS 0x34
#define SMI_STS_APM 0x20        // the APM control port raised it (write 1 to clear)

// SMRAM state save map, at SMBASE + these offsets (QEMU's 64-bit map).
#define SMM_ENTRY_OFFSET 0x8000
#define SMM_SAVE_STATE_FIRST 0xFC00  // kept free: the processor writes its state save map up here
#define SAVE_STATE_REVISION 0xFEFC   // revision ID, 0x00020064 for QEMU's 64-bit map
#define SAVE_STATE_SMBASE 0xFF00     // SMBASE field; RSM reloads SMBASE from it
#define SMM_REVISION_64 0x00020064
// At power-on SMBASE is 0x30000; QEMU's default BIOS leaves it at 0xA0000
// (ASEG).
#define ASEG_SMBASE 0xA0000

// Ports.
#define APM_CONTROL_PORT 0xB2  // a write raises an SMI; a read gives the command back
#define CMOS_INDEX_PORT 0x70
#define CMOS_DATA_PORT 0x71
#define DEBUG_CONSOLE_PORT 0xE9  // QEMU's debug console
#define DEBUG_EXIT_PORT 0xF4     // isa-debug-exit: QEMU exits with (value << 1) | 1
#define POST_PORT 0x80           // writes go nowhere (a trace sees them)

// 16550 registers, from the UART's base, and the line control's divisor
// latch access bit.
#define UART_DLL 0
#define UART_DLM 1
#define UART_IIR 2
#define UART_LCR 3
#define UART_LCR_DLAB 0x80
