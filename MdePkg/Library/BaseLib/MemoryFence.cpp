// An ordering point for code generation: no processor fence, no memory access.

#include "Library/BaseLib.h"

VOID EFIAPI MemoryFence(VOID) { __asm__ __volatile__("" ::: "memory"); }
