// The formatted-text engine.
//
// One format character at a time, the engine
//   1. reads the directive's flags, width and precision (ReadDirectiveFlags),
//   2. turns the argument into an argument text (the *Text functions),
//   3. measures that text (MeasureField),
//   4. lays the field out: fills, prefix, zeros, text (LayOutField).
// Every character goes to the OutputState, never at or past its end position
// (one character is kept for the terminator), or is only counted:
//   - fills, prefixes and zeros, and text that needs each character handled
//     (16-bit output, thousands grouping) go through EmitRepeated, which
//     counts or writes with FillRepeated;
//   - into 8-bit output, text is copied by three loops, each cut to the room
//     left: WriteRun8 (an 8-bit text read forwards), the loop in
//     WriteFieldText (digits read backwards, the low bytes of a 16-bit text),
//     and WritePlainRun's (a run of plain format characters);
//   - counting, a field adds its size at once.
// All state lives in the call.  Per call: the output, the format text and the
// argument source.  Per field (FieldState): the directive's flags in Flags
// (the caller's three bits kept), and the working state beside them: the
// width and whether there is one, the precision, the argument text and how
// to read it (TextStep), prefix and grouping.  The engine renders GUIDs,
// times and unlisted statuses by calling itself through SPrintWithFlags.

#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"

#include "Library/BaseLib.h"
#include "Library/DebugLib.h"
#include "Uefi/UefiBaseType.h"

const CHAR8 mHexDigits[] = "0123456789ABCDEF";

// The status names, one after another, each ending in its 0.  The table
// holds their base and a 16-bit offset per row: one pointer for the loader to
// fix up instead of one per row (and the image keeps a relocation).
constexpr CHAR8 mStatusTextData[] =
    "Success\0"                   // 0
    "Warning Unknown Glyph\0"     // 1
    "Warning Delete Failure\0"    // 2
    "Warning Write Failure\0"     // 3
    "Warning Buffer Too Small\0"  // 4
    "Warning Stale Data\0"        // 5
    "Load Error\0"                // 0x8000000000000001
    "Invalid Parameter\0"
    "Unsupported\0"
    "Bad Buffer Size\0"
    "Buffer Too Small\0"
    "Not Ready\0"
    "Device Error\0"
    "Write Protected\0"
    "Out of Resources\0"
    "Volume Corrupt\0"
    "Volume Full\0"
    "No Media\0"
    "Media changed\0"
    "Not Found\0"
    "Access Denied\0"
    "No Response\0"
    "No mapping\0"
    "Time out\0"
    "Not started\0"
    "Already started\0"
    "Aborted\0"
    "ICMP Error\0"
    "TFTP Error\0"
    "Protocol Error\0"
    "Incompatible Version\0"
    "Security Violation\0"
    "CRC Error\0"
    "End of Media\0"
    "Reserved (29)\0"
    "Reserved (30)\0"
    "End of File\0"
    "Invalid Language\0"
    "Compromised Data\0";  // 0x8000000000000021

namespace {

// The offset of each name: row 0 starts the data, every other row follows
// the 0 of the one before.
constexpr STATUS_TEXT_TABLE BuildStatusTexts() {
  STATUS_TEXT_TABLE Table = {mStatusTextData, {}};
  UINTN Row = 1;
  for (UINTN At = 0; At + 1 < sizeof(mStatusTextData) && Row < STATUS_TEXT_COUNT; At++) {
    if (mStatusTextData[At] == 0) {
      Table.Offset[Row++] = (UINT16)(At + 1);
    }
  }
  return Table;
}

constexpr UINTN CountStatusTexts() {
  UINTN Count = 0;
  for (UINTN At = 0; At + 1 < sizeof(mStatusTextData); At++) {
    Count += mStatusTextData[At] == 0 ? 1 : 0;
  }
  return Count;
}

static_assert(CountStatusTexts() == STATUS_TEXT_COUNT, "one name per row");
static_assert(sizeof(mStatusTextData) <= 0x10000, "every offset fits in 16 bits");

}  // namespace

const STATUS_TEXT_TABLE mStatusTexts = BuildStatusTexts();

// The base is read from the table, as the loader fixed it up; the empty
// statement hides the table's contents from the optimiser, which would
// otherwise use its own copy of the address and leave the fix-up unread.
const CHAR8 *StatusTextRow(UINTN Row) {
  const STATUS_TEXT_TABLE *Table = &mStatusTexts;
  __asm__("" : "+r"(Table));
  return Table->Names + Table->Offset[Row];
}

// Warnings 0-5 are rows 0-5; errors 1-33 are rows 6-38.
#define STATUS_LAST_WARNING 5
#define STATUS_LAST_ERROR 33
#define STATUS_ERROR_ROW_OFFSET 5
#define STATUS_ERROR_BIT 0x8000000000000000ULL

// Stack depth: a nested rendering and an assertion report each run a whole
// engine on top of the current one.  The walk keeps all per-call and
// per-directive state in its own frame, so the checks around it (which a
// nested engine may report) stack little, and the nested renderings keep
// their long argument lists in frames of their own.
#define STACK_FRAME_OF_ITS_OWN __attribute__((noinline))

// The steps that read or write the per-call state (output, format, argument
// source) are inlined into the walk, where that state lives in registers.
// Where a caller's flags are constants, as every caller's in the image are,
// the paths those flags exclude then drop out of the code.
#define STEP_OF_THE_WALK __attribute__((always_inline))

// Digits are made in the frame of the directive that needs them.
__attribute__((always_inline)) CHAR8 *ValueToReversedDigits(CHAR8 *Buffer, UINT64 Value, UINT32 Radix);

namespace {

// Per call: where the output goes.  Position and End are null when no buffer
// is in use, which only counting allows; End keeps one character free for
// the terminator.  (The states are kept small: every nested engine adds them
// to the stack again.)
struct OutputState {
  CHAR8 *Position;
  CHAR8 *End;
  UINTN Count;  // characters counted with FMT_COUNT_ONLY
  UINT8 CharacterSize;
  BOOLEAN CountOnly;
};

// Per call: the format text, 8-bit or 16-bit little-endian, read bytewise.
struct FormatState {
  const CHAR8 *Position;
  UINT16 Mask;
  UINT8 CharacterSize;
};

// Per call: the argument source, one 8-byte slot per argument.
struct ArgumentState {
  VA_LIST *List;
  BASE_LIST Base;
};

// Per directive, reset before every format character.
struct FieldState {
  UINTN Flags;
  UINTN Width;
  UINTN Precision;
  UINTN Count;
  const CHAR8 *Text;  // first character to read
  INT8 TextStep;      // how to read it: 1 forwards 8-bit, -1 backwards 8-bit (digits), 2 forwards 16-bit
  BOOLEAN HasWidth;   // a width came before any "."
  CHAR8 Prefix;       // 0 (none), ' ', '+' or '-'
  BOOLEAN Grouping;
  UINT8 GroupPhase;  // 0 to 2
  BOOLEAN ZeroLayout;
  CHAR8 Character[4];  // one 16-bit character and its terminator, little-endian
  CHAR8 Scratch[VALUE_TEXT_CHARACTERS];
};

// ---- Arguments -------------------------------------------------------------

// The next 8-byte slot.  A 32-bit integer is the low half of its slot, and a
// pointer fills it.
STEP_OF_THE_WALK UINT64 TakeSlot(ArgumentState &Arguments) {
  if (Arguments.Base != nullptr) {
    return *Arguments.Base++;
  }
  return VA_ARG(*Arguments.List, UINT64);
}

STEP_OF_THE_WALK const VOID *TakePointer(ArgumentState &Arguments) { return (const VOID *)(UINTN)TakeSlot(Arguments); }

// ---- Format characters -----------------------------------------------------

STEP_OF_THE_WALK UINTN CurrentFormatCharacter(const FormatState &Format) {
  const UINT8 *Bytes = (const UINT8 *)Format.Position;
  UINTN Character = Bytes[0];
  if (Format.CharacterSize == 2) {
    Character |= (UINTN)Bytes[1] << 8;
  }
  return Character & Format.Mask;
}

STEP_OF_THE_WALK VOID AdvanceFormat(FormatState &Format) { Format.Position += Format.CharacterSize; }

STEP_OF_THE_WALK UINTN NextFormatCharacter(const FormatState &Format) {
  FormatState Next = Format;
  AdvanceFormat(Next);
  return CurrentFormatCharacter(Next);
}

// ---- Output ----------------------------------------------------------------

// Writes (or, counting only, counts) Character RepeatCount times.
STEP_OF_THE_WALK VOID EmitRepeated(OutputState &Output, INTN RepeatCount, UINTN Character) {
  if (RepeatCount <= 0) {
    return;
  }
  if (Output.CountOnly) {
    Output.Count += (UINTN)RepeatCount;
  } else {
    Output.Position = FillRepeated(Output.Position, Output.End, RepeatCount, Character, Output.CharacterSize);
  }
}

// The walk goes on while no buffer is in use or the position is below the end.
STEP_OF_THE_WALK BOOLEAN OutputHasRoom(const OutputState &Output) {
  return (BOOLEAN)((Output.CountOnly && Output.Position == nullptr) || Output.Position < Output.End);
}

// Nothing more can be written: stops a long text early.  Counting never stops.
STEP_OF_THE_WALK BOOLEAN OutputIsFull(const OutputState &Output) {
  return (BOOLEAN)(!Output.CountOnly && !OutputHasRoom(Output));
}

// ---- Step 1: directive flags, width and precision --------------------------

// Reads decimal digits from the current character on (no overflow test) and
// leaves the format at the first non-digit.
STEP_OF_THE_WALK UINTN ReadNumber(FormatState &Format) {
  UINTN Value = 0;
  for (UINTN Character = CurrentFormatCharacter(Format); Character >= '0' && Character <= '9';
       Character = CurrentFormatCharacter(Format)) {
    Value = Value * 10 + (Character - '0');
    AdvanceFormat(Format);
  }
  return Value;
}

// Before any ".", a number is the width; after it, the precision.
VOID SetWidthOrPrecision(FieldState &Field, UINTN Value) {
  if ((Field.Flags & FMT_HAS_PRECISION) != 0) {
    Field.Precision = Value;
  } else {
    Field.Width = Value;
    Field.HasWidth = TRUE;
  }
}

// Applies one flag character; FALSE when Character is not a flag.
STEP_OF_THE_WALK BOOLEAN ApplyFlagCharacter(FieldState &Field, UINTN Character, ArgumentState &Arguments) {
  switch (Character) {
    case '.':
      Field.Flags |= FMT_HAS_PRECISION;
      return TRUE;
    case '-':
      Field.Flags |= FMT_LEFT_ALIGN;
      return TRUE;
    case '+':
      Field.Flags |= FMT_SHOW_SIGN;
      return TRUE;
    case ' ':
      Field.Flags |= FMT_SIGN_SPACE;
      return TRUE;
    case ',':
      Field.Flags |= FMT_GROUP_THOUSANDS;
      return TRUE;
    case 'l':
    case 'L':
      Field.Flags |= FMT_WIDE_VALUE;
      return TRUE;
    case '*':
      SetWidthOrPrecision(Field, (UINTN)TakeSlot(Arguments));
      return TRUE;
    default:
      return FALSE;
  }
}

// Called with the format at "%".  Reads the flags and returns the directive
// character, leaving the format on it.  At the end of the format the
// directive character is the 0 itself, with precision 0.
STEP_OF_THE_WALK UINTN ReadDirectiveFlags(FormatState &Format, FieldState &Field, ArgumentState &Arguments) {
  AdvanceFormat(Format);
  for (;;) {
    const UINTN Character = CurrentFormatCharacter(Format);
    if (Character >= '0' && Character <= '9') {
      if (Character == '0' && (Field.Flags & FMT_HAS_PRECISION) == 0) {
        Field.Flags |= FMT_ZERO_FILL;
      }
      SetWidthOrPrecision(Field, ReadNumber(Format));
    } else if (ApplyFlagCharacter(Field, Character, Arguments)) {
      AdvanceFormat(Format);
    } else {
      if (Character == 0) {
        Field.Precision = 0;
      }
      return Character;
    }
  }
}

// ---- Step 2: the argument text ---------------------------------------------

// An 8-bit text, read forwards.
VOID UseText8(FieldState &Field, const CHAR8 *Text) {
  Field.TextStep = 1;
  Field.Text = Text;
}

// A single 16-bit character; 0 gives an empty text.
VOID CharacterText(FieldState &Field, UINTN Character) {
  Field.Character[0] = (CHAR8)(Character & 0xFF);
  Field.Character[1] = (CHAR8)((Character >> 8) & 0xFF);
  Field.Character[2] = 0;
  Field.Character[3] = 0;
  Field.TextStep = 2;
  Field.Text = Field.Character;
}

// Called on a line feed or carriage return.  A line feed, a line feed and
// carriage return, and a carriage return and line feed each give "\r\n"; a
// lone carriage return stays alone.  Consumes the second character of a pair.
STEP_OF_THE_WALK VOID LineEndText(FieldState &Field, FormatState &Format, UINTN Character) {
  const UINTN Next = NextFormatCharacter(Format);
  if (Character == '\n') {
    if (Next == '\r') {
      AdvanceFormat(Format);
    }
    UseText8(Field, "\r\n");
  } else if (Next == '\n') {
    AdvanceFormat(Format);
    UseText8(Field, "\r\n");
  } else {
    UseText8(Field, "\r");
  }
}

// The integer's value, its prefix and radix: returns the magnitude to print.
// Decimal: "-" for a negative value (the most negative value keeps its bit
// pattern), and grouping overrides zero fill and any precision.  Hexadecimal:
// no grouping, and a negative 32-bit value is its unsigned low 32 bits.
UINT64 IntegerMagnitude(FieldState &Field, UINT64 Slot, UINT32 &Radix) {
  const INT64 Value = (Field.Flags & FMT_WIDE_VALUE) != 0 ? (INT64)Slot : (INT64)(INT32)(UINT32)Slot;
  if ((Field.Flags & FMT_SIGN_SPACE) != 0) {
    Field.Prefix = ' ';
  }
  if ((Field.Flags & FMT_SHOW_SIGN) != 0) {
    Field.Prefix = '+';
  }
  Field.Grouping = (BOOLEAN)((Field.Flags & FMT_GROUP_THOUSANDS) != 0);

  if ((Field.Flags & FMT_HEX) != 0) {
    Radix = 16;
    Field.Grouping = FALSE;
    return (Field.Flags & FMT_WIDE_VALUE) == 0 && Value < 0 ? (UINT64)(UINT32)Value : (UINT64)Value;
  }
  Radix = 10;
  if (Field.Grouping) {
    Field.Flags &= ~(UINTN)FMT_ZERO_FILL;
    Field.Precision = 1;
  }
  if (Value < 0) {
    Field.Prefix = '-';
    return 0 - (UINT64)Value;
  }
  return (UINT64)Value;
}

// "d", "x", "X" and "p", given the argument's slot: digits in the scratch
// buffer, read backwards from the most significant one; the prefix counts as
// one more character and one more digit of precision; zero fill to the width
// when nothing else sets the size.
VOID IntegerText(FieldState &Field, UINT64 Slot) {
  UINT32 Radix;
  const UINT64 Magnitude = IntegerMagnitude(Field, Slot, Radix);
  const CHAR8 *MostSignificant = ValueToReversedDigits(Field.Scratch, Magnitude, Radix);
  UINTN Digits = (UINTN)(MostSignificant - Field.Scratch);
  if (Magnitude == 0 && Field.Precision == 0) {
    Digits = 0;
  }

  Field.TextStep = -1;
  Field.Text = MostSignificant;
  Field.Count = Digits;
  if (Field.Grouping && Digits > 0) {
    Field.GroupPhase = (UINT8)((3 - Digits % 3) % 3);
    Field.Count = Digits + (Digits - 1) / 3;
  }
  if (Field.Prefix != 0) {
    Field.Count++;
    Field.Precision++;
  }

  Field.ZeroLayout = TRUE;
  if (Field.HasWidth && (Field.Flags & (FMT_ZERO_FILL | FMT_LEFT_ALIGN | FMT_HAS_PRECISION)) == FMT_ZERO_FILL) {
    Field.Precision = Field.Width;
  }
}

// "a" (8-bit) and "s", "S" (16-bit).  Without a precision the string prints
// whole; with one, the precision is both its cut and the field's minimum.
VOID StringText(FieldState &Field, const VOID *String) {
  if (String == nullptr) {
    UseText8(Field, "<null string>");
  } else {
    Field.Text = (const CHAR8 *)String;
  }
  if ((Field.Flags & FMT_HAS_PRECISION) == 0) {
    Field.Precision = 0;
  }
}

STACK_FRAME_OF_ITS_OWN VOID GuidText(FieldState &Field, const VOID *Guid) {
  if (Guid == nullptr) {
    UseText8(Field, "<null guid>");
    return;
  }
  // The fields first, then the bytes: no byte is held across a call.
  const UINT8 *Bytes = (const UINT8 *)Guid;
  const UINT32 Data1 = ReadUnaligned32((const UINT32 *)Bytes);
  const UINT16 Data2 = ReadUnaligned16((const UINT16 *)(Bytes + 4));
  const UINT16 Data3 = ReadUnaligned16((const UINT16 *)(Bytes + 6));
  SPrintWithFlags(Field.Scratch, VALUE_TEXT_CHARACTERS, 0, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Data1,
                  Data2, Data3, Bytes[8], Bytes[9], Bytes[10], Bytes[11], Bytes[12], Bytes[13], Bytes[14], Bytes[15]);
  UseText8(Field, Field.Scratch);
}

STACK_FRAME_OF_ITS_OWN VOID TimeText(FieldState &Field, const VOID *Time) {
  if (Time == nullptr) {
    UseText8(Field, "<null time>");
    return;
  }
  const UINT8 *Bytes = (const UINT8 *)Time;
  const UINTN Year = (UINTN)Bytes[OFFSET_OF(EFI_TIME, Year)] | ((UINTN)Bytes[OFFSET_OF(EFI_TIME, Year) + 1] << 8);
  SPrintWithFlags(Field.Scratch, VALUE_TEXT_CHARACTERS, 0, "%02d/%02d/%04d  %02d:%02d",
                  Bytes[OFFSET_OF(EFI_TIME, Month)], Bytes[OFFSET_OF(EFI_TIME, Day)], Year,
                  Bytes[OFFSET_OF(EFI_TIME, Hour)], Bytes[OFFSET_OF(EFI_TIME, Minute)]);
  UseText8(Field, Field.Scratch);
}

// Listed statuses print by name; any other as its low 32 bits in hexadecimal.
STACK_FRAME_OF_ITS_OWN VOID StatusText(FieldState &Field, UINT64 Status) {
  const UINT64 Code = Status & ~STATUS_ERROR_BIT;
  if ((Status & STATUS_ERROR_BIT) != 0 && Code >= 1 && Code <= STATUS_LAST_ERROR) {
    UseText8(Field, StatusTextRow(Code + STATUS_ERROR_ROW_OFFSET));
  } else if ((Status & STATUS_ERROR_BIT) == 0 && Status <= STATUS_LAST_WARNING) {
    UseText8(Field, StatusTextRow(Status));
  } else {
    SPrintWithFlags(Field.Scratch, VALUE_TEXT_CHARACTERS, 0, "%08X", Status);
    UseText8(Field, Field.Scratch);
  }
}

// Steps 1 and 2 for a directive: its flags, then its argument text.
STEP_OF_THE_WALK VOID DirectiveText(FieldState &Field, FormatState &Format, ArgumentState &Arguments) {
  const UINTN Character = ReadDirectiveFlags(Format, Field, Arguments);
  switch (Character) {
    case 'p':
      Field.Flags &= ~(UINTN)(FMT_SHOW_SIGN | FMT_SIGN_SPACE);
      Field.Flags |= FMT_WIDE_VALUE | FMT_ZERO_FILL | FMT_HEX;
      break;
    case 'X':
      Field.Flags |= FMT_ZERO_FILL | FMT_HEX;
      break;
    case 'x':
      Field.Flags |= FMT_HEX;
      break;
    case 'd':
      break;
    case 'a':
      StringText(Field, TakePointer(Arguments));
      return;
    case 's':
    case 'S':
      Field.TextStep = 2;
      StringText(Field, TakePointer(Arguments));
      return;
    case 'c':
      CharacterText(Field, (UINTN)TakeSlot(Arguments) & 0xFFFF);
      return;
    case 'g':
      GuidText(Field, TakePointer(Arguments));
      return;
    case 't':
      TimeText(Field, TakePointer(Arguments));
      return;
    case 'r':
      StatusText(Field, TakeSlot(Arguments));
      return;
    case '\n':
    case '\r':
      LineEndText(Field, Format, Character);
      return;
    default:
      CharacterText(Field, Character);
      return;
  }
  IntegerText(Field, TakeSlot(Arguments));
}

// ---- Step 3: measure ---------------------------------------------------------

// Reads the text character at Text, masked to the text's character size.
STEP_OF_THE_WALK UINTN TextCharacterAt(const FieldState &Field, const CHAR8 *Text) {
  const UINT8 *Bytes = (const UINT8 *)Text;
  if (Field.TextStep == 2) {
    return (UINTN)Bytes[0] | ((UINTN)Bytes[1] << 8);
  }
  return Bytes[0];
}

// The length of an 8-bit text without a limit: four characters per turn,
// each read only once the one before it was not the end.
UINTN Length8(const UINT8 *Text) {
  for (UINTN Count = 0;; Count += 4) {
    if (Text[Count] == 0) {
      return Count;
    }
    if (Text[Count + 1] == 0) {
      return Count + 1;
    }
    if (Text[Count + 2] == 0) {
      return Count + 2;
    }
    if (Text[Count + 3] == 0) {
      return Count + 3;
    }
  }
}

// Integers already have their count.  Other texts count up to their 0, or
// up to the precision when there is one.  Then the precision becomes at
// least the count: from here on it is the width of the field's content.
VOID MeasureField(FieldState &Field) {
  if (Field.TextStep == 1 && (Field.Flags & FMT_HAS_PRECISION) == 0) {
    Field.Count = Length8((const UINT8 *)Field.Text);
  } else if (Field.TextStep != -1) {
    const UINTN Limit = (Field.Flags & FMT_HAS_PRECISION) != 0 ? Field.Precision : ~(UINTN)0;
    const UINT8 *Text = (const UINT8 *)Field.Text;
    UINTN Count = 0;
    if (Field.TextStep == 2) {
      for (; Count < Limit && (Text[2 * Count] | Text[2 * Count + 1]) != 0; Count++) {
      }
    } else {
      for (; Count < Limit && Text[Count] != 0; Count++) {
      }
    }
    Field.Count = Count;
  }
  if (Field.Precision < Field.Count) {
    Field.Precision = Field.Count;
  }
}

// ---- Step 4: layout ----------------------------------------------------------

// Writes Length characters of an 8-bit text read forwards into 8-bit
// output, cut to the room left.
STEP_OF_THE_WALK VOID WriteRun8(OutputState &Output, const CHAR8 *Text, UINTN Length) {
  CHAR8 *const To = Output.Position;
  if (Length > (UINTN)(Output.End - To)) {
    Length = (UINTN)(Output.End - To);
  }
  for (UINTN Copied = 0; Copied < Length; Copied++) {
    To[Copied] = Text[Copied];
  }
  Output.Position = To + Length;
}

STEP_OF_THE_WALK VOID WriteFieldText(FieldState &Field, OutputState &Output) {
  const INTN Step = Field.TextStep;  // NOLINT(bugprone-signed-char-misuse): a step of -1, 1 or 2
  const CHAR8 *Text = Field.Text;
  UINTN Index = Field.Prefix != 0 ? 1 : 0;

  // Without grouping each index is one character of the text.  Into 8-bit
  // output only the low byte of a character is kept, and it comes first.
  if (!Field.Grouping && Output.CountOnly) {
    Output.Count += Field.Count - Index;
    return;
  }
  if (!Field.Grouping && Output.CharacterSize == 1) {
    CHAR8 *To = Output.Position;
    if (Step == 1) {
      WriteRun8(Output, Text, Field.Count - Index);
      return;
    }
    // Digits backwards, or the low bytes of a 16-bit text.  (The analyzer
    // cannot follow the flag bits that set the step, and takes an 8-bit text
    // read forwards, such as a line end, as read backwards off its start.)
    for (; Index < Field.Count && To < Output.End; Index++, Text += Step) {
      *To++ = *Text;  // NOLINT(clang-analyzer-core.uninitialized.Assign)
    }
    Output.Position = To;
    return;
  }

  for (; Index < Field.Count && !OutputIsFull(Output);) {
    EmitRepeated(Output, 1, TextCharacterAt(Field, Text));
    Text += Step;
    Index++;
    if (Field.Grouping && ++Field.GroupPhase == 3) {
      Field.GroupPhase = 0;
      Index++;
      if (Index < Field.Count) {
        EmitRepeated(Output, 1, ',');
      }
    }
  }
}

STEP_OF_THE_WALK VOID LayOutField(FieldState &Field, OutputState &Output) {
  const BOOLEAN LeftAlign = (BOOLEAN)((Field.Flags & FMT_LEFT_ALIGN) != 0);
  const INTN Padding =
      Field.HasWidth && Field.Width > Field.Precision ? (INTN)(Field.Width - Field.Precision) : 0;

  if (!LeftAlign) {
    EmitRepeated(Output, Padding, ' ');
  }
  if (Field.ZeroLayout) {
    if (Field.Prefix != 0) {
      EmitRepeated(Output, 1, (UINTN)Field.Prefix);
    }
    EmitRepeated(Output, (INTN)(Field.Precision - Field.Count), '0');
  } else {
    EmitRepeated(Output, (INTN)(Field.Precision - Field.Count), ' ');
  }
  WriteFieldText(Field, Output);
  if (LeftAlign) {
    EmitRepeated(Output, Padding, ' ');
  }
}

STEP_OF_THE_WALK VOID ResetField(FieldState &Field, UINTN CallerFlags) {
  Field.Flags = CallerFlags & FMT_CALLER_FLAGS;
  Field.Width = 0;
  Field.Precision = 1;
  Field.Prefix = 0;
  Field.Grouping = FALSE;
  Field.GroupPhase = 0;
  Field.ZeroLayout = FALSE;
  Field.Count = 0;
  Field.Text = nullptr;
  Field.TextStep = 1;
  Field.HasWidth = FALSE;
}

// A plain character is a one-character field without width or precision:
// a run of them is written as it stands, each while there is room.
STEP_OF_THE_WALK BOOLEAN IsPlainCharacter(UINTN Character) {
  return (BOOLEAN)(Character != 0 && Character != '%' && Character != '\n' && Character != '\r');
}

STEP_OF_THE_WALK VOID WritePlainRun(FormatState &Format, OutputState &Output) {
  if (!Output.CountOnly && Output.CharacterSize == 1 && Format.CharacterSize == 1) {
    // 8-bit to 8-bit, the common case, with the positions kept in locals.
    const CHAR8 *From = Format.Position;
    CHAR8 *To = Output.Position;
    for (; IsPlainCharacter((UINT8)*From) && To < Output.End; From++, To++) {
      *To = *From;
    }
    Format.Position = From;
    Output.Position = To;
    return;
  }
  for (UINTN Character = CurrentFormatCharacter(Format); IsPlainCharacter(Character) && OutputHasRoom(Output);
       Character = CurrentFormatCharacter(Format)) {
    EmitRepeated(Output, 1, Character);
    AdvanceFormat(Format);
  }
}

// The main walk: one field per format character (or directive), until the
// format ends or the buffer is full.  Start is null when no buffer is in use;
// End keeps one character free for the terminator.  Returns the characters
// written, or with FMT_COUNT_ONLY the characters counted.  The walk's state
// lives in this frame only, not in the frames of the checks around it.
STACK_FRAME_OF_ITS_OWN UINTN WalkFormat(CHAR8 *Start, CHAR8 *End, UINTN CallerFlags, const CHAR8 *Format,
                                        VA_LIST *ArgList, BASE_LIST BaseList) {
  OutputState Output = {Start, End, 0, (UINT8)((CallerFlags & FMT_OUTPUT_UCS2) != 0 ? 2 : 1),
                        (BOOLEAN)((CallerFlags & FMT_COUNT_ONLY) != 0)};
  FormatState FormatText = {Format, 0xFF, 1};
  if ((CallerFlags & FMT_FORMAT_UCS2) != 0) {
    FormatText.Mask = 0xFFFF;
    FormatText.CharacterSize = 2;
  }
  ArgumentState Arguments = {ArgList, BaseList};
  FieldState Field;

  for (UINTN Character = CurrentFormatCharacter(FormatText); Character != 0 && OutputHasRoom(Output);
       Character = CurrentFormatCharacter(FormatText)) {
    if (IsPlainCharacter(Character)) {
      WritePlainRun(FormatText, Output);
      continue;
    }
    // Step 2 picks the argument text: a line end or a directive (plain
    // characters were written above).
    ResetField(Field, CallerFlags);
    if (Character == '%') {
      DirectiveText(Field, FormatText, Arguments);
    } else {
      LineEndText(Field, FormatText, Character);
    }
    if (!Field.HasWidth && Field.TextStep == 1 && (Field.Flags & FMT_HAS_PRECISION) == 0 &&
        !Output.CountOnly && Output.CharacterSize == 1) {
      // No width, no precision, an 8-bit text read forwards (a line end, a
      // plain "%a", a name or a nested rendering): measuring and laying out
      // leave the text as it stands, so it is written at once.
      WriteRun8(Output, Field.Text, Length8((const UINT8 *)Field.Text));
    } else {
      MeasureField(Field);
      LayOutField(Field, Output);
    }
    if (CurrentFormatCharacter(FormatText) != 0) {
      AdvanceFormat(FormatText);
    }
  }
  if (Output.CountOnly) {
    return Output.Count;
  }
  return Start == nullptr ? 0 : (UINTN)(Output.Position - Start) / Output.CharacterSize;
}

}  // namespace

CHAR8 *FillRepeated(CHAR8 *Position, CHAR8 *End, INTN RepeatCount, UINTN Character, INTN Stride) {
  for (; RepeatCount > 0 && Position < End; RepeatCount--) {
    Position[0] = (CHAR8)(Character & 0xFF);
    if (Stride != 1) {
      Position[1] = (CHAR8)((Character >> 8) & 0xFF);
    }
    Position += Stride;
  }
  return Position;
}

CHAR8 *ValueToReversedDigits(CHAR8 *Buffer, UINT64 Value, UINT32 Radix) {
  UINT32 Remainder;
  *Buffer = 0;
  do {
    Value = DivU64x32Remainder(Value, Radix, &Remainder);
    *(++Buffer) = mHexDigits[Remainder & 0xF];
  } while (Value != 0);
  return Buffer;
}

UINTN EFIAPI FormatIntoBuffer(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, const CHAR8 *Format, VA_LIST ArgList,
                              BASE_LIST BaseList) {
  CHAR8 *const OriginalBuffer = Buffer;
  const UINTN CharacterSize = (Flags & FMT_OUTPUT_UCS2) != 0 ? 2 : 1;

  // Start.
  if ((Flags & FMT_COUNT_ONLY) != 0) {
    if (BufferSize == 0) {
      Buffer = nullptr;
    }
  } else {
    if (BufferSize == 0) {
      return 0;
    }
    // The pointer checks are made where they can fail: a pointer that is set
    // does not consult the property mask, which has no effect of its own.
    if (Buffer == nullptr) {
      ASSERT(Buffer != NULL);
      return 0;  // no buffer to write to, not even a terminator
    }
  }
  CHAR8 *const End = Buffer == nullptr ? nullptr : Buffer + (BufferSize - 1) * CharacterSize;

  // The checks are spaced as their report texts read.
  // clang-format off
  if ((Flags & FMT_FORMAT_UCS2) != 0) {
    ASSERT(StrSize ((CHAR16 *) Format) != 0);
  } else {
    ASSERT(AsciiStrSize (Format) != 0);
  }
  // clang-format on

  // A null format, already reported by the length check, renders as empty.
  UINTN Count = 0;
  if (Format != nullptr) {
    Count = WalkFormat(Buffer, End, Flags, Format, &ArgList, BaseList);
  }

  // Finish.
  if ((Flags & FMT_COUNT_ONLY) != 0) {
    return Count;
  }
  if (Buffer == nullptr) {
    ASSERT(Buffer != NULL);
  }
  FillRepeated(Buffer + Count * CharacterSize, End + CharacterSize, 1, 0, (INTN)CharacterSize);
  // clang-format off
  if ((Flags & FMT_OUTPUT_UCS2) != 0) {
    ASSERT((((Flags & FMT_OUTPUT_UCS2) == 0)) || (StrSize ((CHAR16 *) OriginalBuffer) != 0));
  } else {
    ASSERT((((Flags & FMT_OUTPUT_UCS2) != 0)) || (AsciiStrSize (OriginalBuffer) != 0));
  }
  // clang-format on
  return Count;
}

UINTN EFIAPI SPrintWithFlags(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, const CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  const UINTN Count = FormatIntoBuffer(Buffer, BufferSize, Flags, Format, Marker, nullptr);
  VA_END(Marker);
  return Count;
}
