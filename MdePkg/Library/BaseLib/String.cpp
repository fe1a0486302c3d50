// Lengths and sizes of zero-terminated 8-bit and 16-bit strings.
//
// A length counts characters without the terminator; a size counts bytes with
// it.  A non-zero maximum-length setting bounds every string measured; the
// bound is tested per character only when it is set, so with the configured 0
// a string of any length is measured without a report.  The null check is
// made where it can fail: a string that is there does not consult the
// property mask, which has no effect of its own.

#include "AutoGen.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

// The assertion texts name the bounds by these identifiers.
static constexpr UINT32 _gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength = PcdMaximumUnicodeStringLength;
static constexpr UINT32 _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength = PcdMaximumAsciiStringLength;

// One 16-bit unit, read bytewise so that a string needs no alignment.
static UINT16 ReadUnit16(const UINT8 *Unit) { return (UINT16)(Unit[0] | (Unit[1] << 8)); }

UINTN EFIAPI StrLen(const CHAR16 *String) {
  if (String == nullptr) {
    ASSERT(String != NULL);
    return 0;
  }

  const UINT8 *Unit = (const UINT8 *)String;
  UINTN Length = 0;
  for (; ReadUnit16(Unit) != 0; Unit += sizeof(CHAR16)) {
    if (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength != 0) {
      ASSERT(Length < _gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength);
    }
    Length++;
  }
  return Length;
}

UINTN EFIAPI StrSize(const CHAR16 *String) { return (StrLen(String) + 1) * sizeof(CHAR16); }

// The length of String plus Terminator (0 for a length, 1 for a size).
// AsciiStrLen and AsciiStrSize both jump here, so a check this walk reports
// has no frame of theirs below it: the engine measures its format and its
// text with AsciiStrSize, and its reports stack that much less.
static __attribute__((noinline)) UINTN AsciiStrLenPlus(const CHAR8 *String, UINTN Terminator) {
  if (String == nullptr) {
    ASSERT(String != NULL);
    return Terminator;
  }

  UINTN Length = 0;
  if (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength == 0) {
    // Unbounded: four characters per turn, each read only once the one
    // before it was not the end.
    for (;; Length += 4) {
      if (String[Length] == 0) {
        return Length + Terminator;
      }
      if (String[Length + 1] == 0) {
        return Length + 1 + Terminator;
      }
      if (String[Length + 2] == 0) {
        return Length + 2 + Terminator;
      }
      if (String[Length + 3] == 0) {
        return Length + 3 + Terminator;
      }
    }
  }
  for (; String[Length] != 0;) {
    if (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength != 0) {
      ASSERT(Length < _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength);
    }
    Length++;
  }
  return Length + Terminator;
}

UINTN EFIAPI AsciiStrLen(const CHAR8 *String) { return AsciiStrLenPlus(String, 0); }

UINTN EFIAPI AsciiStrSize(const CHAR8 *String) { return AsciiStrLenPlus(String, 1); }
