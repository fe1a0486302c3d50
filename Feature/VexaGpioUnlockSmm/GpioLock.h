// Where the GPIO lock lies: bit 0 of the LPC bridge's (PCI 0:31.0) register
// 0x4C, reached through the PCI Express window.  The one definition the
// module's handler and the host code (the simulated platform, the QEMU
// guest's attacker) share; the window's base is a board setting.
#pragma once

#include "Library/PciExpressLib.h"

// The register, as an offset into the PCI Express window (0xF804C).
#define GPIO_LOCK_REGISTER_OFFSET PCI_EXPRESS_LIB_ADDRESS(0, 31, 0, 0x4C)
#define GPIO_LOCK_BIT 0x01
static_assert(GPIO_LOCK_REGISTER_OFFSET == 0xF804C, "bus 0, device 31, function 0, register 0x4C");
