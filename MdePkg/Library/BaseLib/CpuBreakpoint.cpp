// The breakpoint instruction; execution returns here when it resumes.

#include "Library/BaseLib.h"

VOID EFIAPI CpuBreakpoint(VOID) { __asm__ __volatile__("int3" ::: "memory"); }
