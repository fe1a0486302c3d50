// Registers the serial console reaches: the 16550 UART (one byte each, at
// base + offset), the CMOS baud selector and the PCI header registers of the
// path to a PCI UART.
#pragma once

#include "Base.h"

// clang-format off
// 16550 UART, offsets from the UART base.
#define R_UART_RXBUF 0  // receive buffer (DLAB clear), never read here
#define R_UART_TXBUF 0  // transmit holding register (DLAB clear)
#define R_UART_BAUD_LOW 0  // divisor latch, bits 0-7 (DLAB set)
#define R_UART_BAUD_HIGH 1  // divisor latch, bits 8-15 (DLAB set)
#define R_UART_IIR 2  // interrupt identification (read)
#define   B_UART_IIR_FIFOE 0xC0  // FIFOs enabled
#define R_UART_FCR 2  // FIFO control (write)
#define   B_UART_FCR_FIFOE 0x01  // FIFO enable
#define   B_UART_FCR_FIFO64 0x20  // 64-byte FIFO
#define   B_UART_FCR_WRITTEN (B_UART_FCR_FIFOE | B_UART_FCR_FIFO64)  // the only bits ever written: the clear bits 1-2 never are
#define R_UART_LCR 3  // line control
#define   B_UART_LCR_FORMAT 0x3F  // word length, stop bits, parity, break
#define   B_UART_LCR_DLAB 0x80  // divisor latch access
#define R_UART_MCR 4  // modem control
#define R_UART_LSR 5  // line status
#define   B_UART_LSR_TXRDY 0x20  // THRE: transmit holding register (FIFO) empty
#define   B_UART_LSR_TEMT 0x40  // TEMT: holding register and shift register empty
#define R_UART_MSR 6  // modem status
#define   B_UART_MSR_CTS 0x10  // clear to send
#define   B_UART_MSR_DSR 0x20  // data set ready

// Burst sizes for the FIFO settings (FCR bit 0 clear, bit 0 set).
#define SERIAL_TX_BURST_NO_FIFO 1
#define SERIAL_TX_BURST_FIFO 16

// CMOS: bits 1-2 of byte 0x6F select the baud rate.
#define CMOS_INDEX_PORT 0x70
#define CMOS_DATA_PORT 0x71
#define CMOS_SERIAL_BAUD_INDEX 0x6F
#define   B_CMOS_SERIAL_BAUD_SELECT 0x06
// The divisor is this rate over the selected one (1.8432 MHz / 16).
#define SERIAL_BASE_BAUD 115200

// PCI header (type 0 and the PCI-to-PCI bridge's type 1).
#define PCI_COMMAND_OFFSET 0x04
#define   EFI_PCI_COMMAND_IO_SPACE 0x0001
#define   EFI_PCI_COMMAND_MEMORY_SPACE 0x0002
#define PCI_BASE_ADDRESSREG_OFFSET 0x10
#define   B_PCI_BAR_IO_SPACE 0x00000001  // an I/O BAR; clear: a memory BAR
#define   B_PCI_BAR_MEMORY_ADDRESS_MASK 0xFFFFFFF0u  // a memory BAR's address bits
#define   B_PCI_BAR_IO_ADDRESS_MASK 0xFFFFFFF8u  // an I/O BAR's address bits, as the UART uses them (8 ports)
#define PCI_MAX_BAR 6
#define PCI_BRIDGE_SECONDARY_BUS_OFFSET 0x19
#define PCI_BRIDGE_SUBORDINATE_BUS_OFFSET 0x1A
#define PCI_BRIDGE_IO_BASE_OFFSET 0x1C
#define PCI_BRIDGE_IO_LIMIT_OFFSET 0x1D
#define   B_PCI_BRIDGE_IO_32 0x01  // 32-bit I/O decoding: upper 16 bits follow
#define PCI_BRIDGE_MEMORY_BASE_OFFSET 0x20
#define   B_PCI_BRIDGE_MEMORY_MASK 0xFFF0  // memory base/limit: address bits 31-20 in bits 15-4
#define PCI_BRIDGE_MEMORY_LIMIT_OFFSET 0x22
#define PCI_BRIDGE_IO_BASE_UPPER_OFFSET 0x30
#define PCI_BRIDGE_IO_LIMIT_UPPER_OFFSET 0x32
#define   B_PCI_POWER_STATE 0x0003  // power-management control/status: 0 = D0
// clang-format on
