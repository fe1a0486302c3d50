// libFuzzer target for the formatted-text engine.
//
// Input: byte 0 selects the caller's flags (bit 0: 16-bit output, bit 1:
// 16-bit format, bit 2: engine-owned bits the engine must ignore, bit 3: an
// argument list instead of a BaseList); byte 1 is the length L of the slot
// bytes that follow; the rest is the format.  There is one 8-byte argument
// slot per format byte (no directive takes more), filled cyclically from the
// slot bytes.  When the format holds a byte that names a pointer directive
// ("a", "s", "S", "g", "t"), every slot is a pointer into a copy of the input
// followed by zeros (or null), so string, GUID and time arguments always
// point at valid memory; otherwise the slots are raw 64-bit integers.
//
// The full text is rendered once into a buffer of 4096 characters with the
// caller's flags alone (no engine-owned bits).  Then, for every buffer size
// from 0 to 300 characters, the buffer is placed against guard bytes and
// rendered twice, prefilled with two patterns.  Checked: nothing at or past
// BufferSize characters changes; with a non-zero size the text is terminated
// right at the result, which is below the size; exactly the characters before
// the terminator were written, and they are the first BufferSize - 1
// characters of the full text (all of it when shorter), whatever engine-owned
// bits the input set; counting only gives the untruncated length, so the
// result is min(that, BufferSize - 1); counting into a buffer writes nothing.
// Any assertion report inside the engine (a breakpoint) aborts, so libFuzzer
// keeps the input.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"
#include "sim/Platform.h"

namespace {

constexpr UINTN kLargestBuffer = 300;
constexpr UINTN kReferenceChars = 4096;  // the full text, or more than any cut of it checked
constexpr size_t kGuardBytes = 16;
constexpr size_t kMaxFormatBytes = 1024;
constexpr uint8_t kFillA = 0xA5, kFillB = 0x5A, kGuard = 0xC3;

void OnBreakpoint(int) {
  fprintf(stderr, "assertion report inside the engine (breakpoint)\n");
  abort();
}

struct Input {
  UINTN flags = 0;
  bool argumentList = false;
  std::vector<uint8_t> format;  // exactly the format and two zero bytes
  std::vector<uint8_t> pool;    // a copy of the input and 32 zero bytes
  std::vector<UINT64> slots;
  // An upper bound for the fills all widths and precisions can ask for;
  // below 2^62 the running count cannot wrap.
  bool countIsExact = true;
};

UINT64 SaturatingAdd(UINT64 a, UINT64 b) { return a + b < a ? ~0ull : a + b; }

void BoundFills(Input &in, bool rawSlots) {
  UINT64 total = 0, run = 0;
  for (uint8_t byte : in.format) {
    if (byte >= '0' && byte <= '9') {
      run = run > (~0ull - 9) / 10 ? ~0ull : run * 10 + (byte - '0');
    } else {
      total = SaturatingAdd(total, run);
      run = 0;
    }
  }
  total = SaturatingAdd(total, run);
  if (rawSlots) {
    for (UINT64 slot : in.slots) total = SaturatingAdd(total, slot);
  }
  in.countIsExact = total < (1ull << 62);
}

// Bits of Flags no caller is given a name for (the engine once kept working
// state there); like the directive flags, they must change nothing.
constexpr UINTN kUndefinedFlagBits = 0x0200 | 0x1000;

bool Decode(const uint8_t *data, size_t size, Input &in) {
  if (size < 2) return false;
  in.flags = ((data[0] & 1) ? FMT_OUTPUT_UCS2 : 0) | ((data[0] & 2) ? FMT_FORMAT_UCS2 : 0) |
             ((data[0] & 4) ? (FMT_LEFT_ALIGN | FMT_GROUP_THOUSANDS | kUndefinedFlagBits) : 0);
  in.argumentList = (data[0] & 8) != 0;
  const size_t slotBytes = data[1] < size - 2 ? data[1] : size - 2;
  const uint8_t *slotData = data + 2;
  size_t formatBytes = size - 2 - slotBytes;
  if (formatBytes > kMaxFormatBytes) formatBytes = kMaxFormatBytes;
  if ((in.flags & FMT_FORMAT_UCS2) != 0) formatBytes &= ~size_t{1};
  in.format.assign(slotData + slotBytes, slotData + slotBytes + formatBytes);
  in.format.push_back(0);
  in.format.push_back(0);

  in.pool.assign(data, data + size);
  in.pool.resize(size + 32, 0);

  bool pointers = false;
  for (uint8_t byte : in.format) pointers |= byte == 'a' || byte == 's' || byte == 'S' || byte == 'g' || byte == 't';
  in.slots.resize(formatBytes + 1);
  for (size_t i = 0; i < in.slots.size(); ++i) {
    UINT64 value = 0;
    for (size_t b = 0; b < 8 && slotBytes > 0; ++b) value |= UINT64{slotData[(i * 8 + b) % slotBytes]} << (8 * b);
    if (pointers) {
      value = (value & 0xFF) < 0x10 ? 0 : reinterpret_cast<uintptr_t>(in.pool.data() + (value >> 8) % size);
    }
    in.slots[i] = value;
  }
  BoundFills(in, !pointers);
  return true;
}

UINTN Run(const Input &in, CHAR8 *buffer, UINTN bufferSize, UINTN flags) {
  // The engine only reads the slots.  An x64 argument list is consecutive 8-byte slots.
  UINT64 *slots = const_cast<UINT64 *>(in.slots.data());
  VA_LIST list = reinterpret_cast<VA_LIST>(slots);
  return FormatIntoBuffer(buffer, bufferSize, flags, reinterpret_cast<const CHAR8 *>(in.format.data()),
                          in.argumentList ? list : nullptr, in.argumentList ? nullptr : slots);
}

void Check(bool condition, const char *what, UINTN bufferSize) {
  if (!condition) {
    fprintf(stderr, "invariant broken at buffer size %llu: %s\n", static_cast<unsigned long long>(bufferSize), what);
    abort();
  }
}

bool AllEqual(const uint8_t *bytes, size_t count, uint8_t value) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// The full text (its first kReferenceChars characters), with the caller's flags alone.
struct Reference {
  std::vector<uint8_t> bytes;
  UINTN length;
};

Reference RenderReference(const Input &in) {
  const size_t cs = (in.flags & FMT_OUTPUT_UCS2) != 0 ? 2 : 1;
  Reference ref{std::vector<uint8_t>((kReferenceChars + 1) * cs), 0};
  ref.length = Run(in, reinterpret_cast<CHAR8 *>(ref.bytes.data()), kReferenceChars + 1,
                   in.flags & (FMT_OUTPUT_UCS2 | FMT_FORMAT_UCS2));
  return ref;
}

void CheckSize(const Input &in, UINTN size, UINTN full, const Reference &ref) {
  const size_t cs = (in.flags & FMT_OUTPUT_UCS2) != 0 ? 2 : 1;
  const size_t bytes = size * cs;
  std::unique_ptr<uint8_t[]> a(new uint8_t[bytes + kGuardBytes]);
  std::unique_ptr<uint8_t[]> b(new uint8_t[bytes + kGuardBytes]);
  memset(a.get(), kFillA, bytes);
  memset(b.get(), kFillB, bytes);
  memset(a.get() + bytes, kGuard, kGuardBytes);
  memset(b.get() + bytes, kGuard, kGuardBytes);

  const UINTN ra = Run(in, reinterpret_cast<CHAR8 *>(a.get()), size, in.flags);
  const UINTN rb = Run(in, reinterpret_cast<CHAR8 *>(b.get()), size, in.flags);
  Check(ra == rb, "same result whatever the buffer held", size);
  Check(AllEqual(a.get() + bytes, kGuardBytes, kGuard) && AllEqual(b.get() + bytes, kGuardBytes, kGuard),
        "nothing written at or past BufferSize characters", size);
  if (size == 0) {
    Check(ra == 0, "size 0 returns 0", size);
    return;
  }
  Check(ra < size, "result below BufferSize", size);
  Check(AllEqual(a.get() + ra * cs, cs, 0) && AllEqual(b.get() + ra * cs, cs, 0), "terminated at the result", size);
  Check(memcmp(a.get(), b.get(), ra * cs) == 0, "every character before the terminator written", size);
  Check(ra == (ref.length < size - 1 ? ref.length : size - 1) && memcmp(a.get(), ref.bytes.data(), ra * cs) == 0,
        "the text is the full text cut to BufferSize - 1 characters", size);
  const size_t after = (ra + 1) * cs;
  Check(AllEqual(a.get() + after, bytes - after, kFillA) && AllEqual(b.get() + after, bytes - after, kFillB),
        "nothing written after the terminator", size);
  if (in.countIsExact) {
    Check(ra == (full < size - 1 ? full : size - 1), "result is the untruncated count cut to BufferSize - 1", size);
  }

  // Counting into a buffer writes nothing; a size of 1 leaves no room to walk.
  memset(a.get(), kFillA, bytes);
  const UINTN counted = Run(in, reinterpret_cast<CHAR8 *>(a.get()), size, in.flags | FMT_COUNT_ONLY);
  Check(AllEqual(a.get(), bytes, kFillA), "counting wrote nothing", size);
  if (in.countIsExact) Check(counted == (size == 1 ? 0 : full), "counting into a buffer", size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static sim::Platform platform;  // where an assertion report would go before the abort
  signal(SIGTRAP, OnBreakpoint);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in;
  if (!Decode(data, size, in)) return 0;
  const UINTN full = Run(in, nullptr, 0, in.flags | FMT_COUNT_ONLY);
  const Reference ref = RenderReference(in);
  if (in.countIsExact)
    Check(ref.length == (full < kReferenceChars ? full : kReferenceChars), "the full text", kReferenceChars + 1);
  for (UINTN bufferSize = 0; bufferSize <= kLargestBuffer; ++bufferSize) CheckSize(in, bufferSize, full, ref);
  return 0;
}
