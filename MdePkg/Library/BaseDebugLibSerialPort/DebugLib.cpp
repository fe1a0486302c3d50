// Debug messages and assertion reports on the debug UART.
//
// Each output call formats into its own 256-byte stack buffer, measures the
// text and hands it to the UART.  The property mask, the fixed level and the
// module's print-level variable decide what is active; the call-site helpers
// in DebugLib.h test the first two, DebugPrint tests the variable.

#include "Library/DebugLib.h"

#include "AutoGen.h"
#include "Library/BaseLib.h"
#include "Library/PrintLib.h"
#include "Library/SerialPortLib.h"

EFI_STATUS EFIAPI DebugSerialPortConstructor(VOID) { return SerialPortInitialize(); }

VOID EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...) {
  CHAR8 Buffer[MAX_DEBUG_MESSAGE_LENGTH];
  VA_LIST Marker;

  ASSERT(Format != NULL);

  if ((ErrorLevel & GetDebugPrintErrorLevel()) == 0) {
    return;
  }

  VA_START(Marker, Format);
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  VA_END(Marker);

  SerialPortWrite((const UINT8 *)Buffer, AsciiStrLen(Buffer));
}

VOID EFIAPI DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description) {
  CHAR8 Buffer[MAX_DEBUG_MESSAGE_LENGTH];

  AsciiSPrint(Buffer, sizeof(Buffer), "ASSERT %a(%d): %a\n", FileName, LineNumber, Description);
  SerialPortWrite((const UINT8 *)Buffer, AsciiStrLen(Buffer));

  if ((PcdDebugPropertyMask & DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED) != 0) {
    CpuBreakpoint();
  } else if ((PcdDebugPropertyMask & DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED) != 0) {
    CpuDeadLoop();
  }
}

BOOLEAN EFIAPI DebugAssertEnabled(VOID) {
  return (BOOLEAN)((PcdDebugPropertyMask & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0);
}

BOOLEAN EFIAPI DebugPrintEnabled(VOID) {
  return (BOOLEAN)((PcdDebugPropertyMask & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0);
}

// Both masks are 32 bits wide and widened with zeros, so a level whose only
// bits lie above bit 31 never matches.
BOOLEAN EFIAPI DebugPrintLevelEnabled(UINTN ErrorLevel) {
  return (BOOLEAN)((ErrorLevel & (UINTN)PcdFixedDebugPrintErrorLevel) != 0);
}

UINT32 EFIAPI GetDebugPrintErrorLevel(VOID) { return PcdDebugPrintErrorLevel; }
