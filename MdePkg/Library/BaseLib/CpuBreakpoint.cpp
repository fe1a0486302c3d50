// The breakpoint instruction; execution returns here when it resumes.  A
// function of its own in the image too, so a debugger or the linker map names
// the place an assertion report stops at.

#include "Library/BaseLib.h"

__attribute__((noinline)) VOID EFIAPI CpuBreakpoint(VOID) { __asm__ __volatile__("int3" ::: "memory"); }
