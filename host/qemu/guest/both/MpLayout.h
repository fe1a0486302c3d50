// Several CPUs in SMM: where each CPU's SMBASE goes, and what the program
// outside SMM, the SMRAM program and the rig agree on.  Macros only, so the
// assembly can include it.
#pragma once

#define MAX_CPUS 8

// CPU i's SMBASE is TSEG_BASE + i * SMBASE_STRIDE: its SMI entry at
// SMBASE + 0x8000 and its state save map at SMBASE + 0xFE00..0xFFFF.  With a
// stride of 1 KiB the entries (each at most ENTRY_STUB_ROOM bytes) lie
// side by side from TSEG_BASE + 0x8000, the state save maps side by side
// from TSEG_BASE + 0xFE00, and neither run reaches the other.
#define SMBASE_STRIDE 0x400
#define ENTRY_STUB_ROOM 0x400
#define SMM_ENTRY_AREA_SIZE (MAX_CPUS * SMBASE_STRIDE)

// The real-mode trampoline the other CPUs start in (INIT-SIPI-SIPI): a page
// below 1 MiB, its number the SIPI vector.
#define AP_TRAMPOLINE 0x8000

// Bounds on the rendezvous, in time-stamp counter ticks (about 0.1 s and 1 s
// at this machine kind's 2.6 GHz).
#define RENDEZVOUS_ARRIVAL_TICKS 0x10000000ull
#define RENDEZVOUS_RELEASE_TICKS 0xA0000000ull
