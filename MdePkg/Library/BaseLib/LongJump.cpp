// The checks LongJump (LongJump.S) makes before it restores anything.

#include "InternalJump.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

#if defined(VEXA_HOST_BUILD) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXA_JUMP_UNPOISONS_STACK 1
// The host build's address checker marks stack frames as they are entered;
// frames a jump skips must be released the way its own longjmp does.
extern "C" void __asan_handle_no_return(void);
#endif
#endif

UINTN EFIAPI InternalLongJumpCheck(JumpContext *JumpBuffer, UINTN Value) {
  const BOOLEAN Usable = InternalAssertJumpBuffer(JumpBuffer);
  ASSERT(Value != 0);

  // Nothing to resume from: stay here, where a debugger can see why.
  if (!Usable) {
    for (;;) {
      CpuDeadLoop();
    }
  }

  // SetJump returning 0 would make its caller take the direct path again; a
  // jump always comes back non-zero.
  if (Value == 0) {
    Value = 1;
  }

#ifdef VEXA_JUMP_UNPOISONS_STACK
  __asan_handle_no_return();
#endif
  return Value;
}
