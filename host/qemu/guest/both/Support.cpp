// The memory functions the compiler may call, for either program.  String
// instructions, so the compiler cannot turn the bodies back into calls.
#include <stddef.h>

extern "C" {

void *memset(void *dest, int value, size_t size) {
  void *d = dest;
  asm volatile("rep stosb" : "+D"(d), "+c"(size) : "a"(value) : "memory");
  return dest;
}

void *memcpy(void *dest, const void *src, size_t size) {
  void *d = dest;
  asm volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(size) : : "memory");
  return dest;
}
}
