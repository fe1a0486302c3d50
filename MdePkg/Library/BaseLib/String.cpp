// Lengths and sizes of zero-terminated 8-bit and 16-bit strings.
//
// A length counts characters without the terminator; a size counts bytes with
// it.  A non-zero maximum-length setting bounds every string measured; the
// bound is tested per character only when it is set, so with the configured 0
// a string of any length is measured without a report.

#include "AutoGen.h"
#include "Library/BaseLib.h"
#include "Library/DebugLib.h"

// The assertion texts name the bounds by these identifiers.
static constexpr UINT32 _gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength = PcdMaximumUnicodeStringLength;
static constexpr UINT32 _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength = PcdMaximumAsciiStringLength;

// One 16-bit unit, read bytewise so that a string needs no alignment.
static UINT16 ReadUnit16(const UINT8 *Unit) { return (UINT16)(Unit[0] | (Unit[1] << 8)); }

UINTN EFIAPI StrLen(const CHAR16 *String) {
  ASSERT(String != NULL);
  if (String == nullptr) {
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

UINTN EFIAPI AsciiStrLen(const CHAR8 *String) {
  ASSERT(String != NULL);
  if (String == nullptr) {
    return 0;
  }

  UINTN Length = 0;
  for (; String[Length] != 0;) {
    if (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength != 0) {
      ASSERT(Length < _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength);
    }
    Length++;
  }
  return Length;
}

UINTN EFIAPI AsciiStrSize(const CHAR8 *String) { return AsciiStrLen(String) + 1; }
