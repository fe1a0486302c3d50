// Spins until an outside agent, such as a debugger, writes the index.

#include "Library/BaseLib.h"

VOID EFIAPI CpuDeadLoop(VOID) {
  volatile UINTN Index;

  for (Index = 0; Index == 0;) {
  }
}
