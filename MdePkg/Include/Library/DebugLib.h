// Debug messages and assertions.
//
// ASSERT, ASSERT_EFI_ERROR and DEBUG expand at each call site into the tests
// below, in this order, so that a disabled check evaluates neither its
// expression nor its arguments.  A report names the site by the source's
// module-relative path without extension (VEXA_SOURCE_FILE, given by the build
// for every module source), never by a build machine's path.
#pragma once

#include "Uefi/UefiBaseType.h"

#define DEBUG_INFO 0x00000040
#define DEBUG_ERROR 0x80000000

#define DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED 0x01
#define DEBUG_PROPERTY_DEBUG_PRINT_ENABLED 0x02
#define DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED 0x10
#define DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED 0x20

#define MAX_DEBUG_MESSAGE_LENGTH 256

VOID EFIAPI DebugPrint(UINTN ErrorLevel, const CHAR8 *Format, ...);
VOID EFIAPI DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description);
BOOLEAN EFIAPI DebugAssertEnabled(VOID);
BOOLEAN EFIAPI DebugPrintEnabled(VOID);
BOOLEAN EFIAPI DebugPrintLevelEnabled(UINTN ErrorLevel);
UINT32 EFIAPI GetDebugPrintErrorLevel(VOID);

// The debug library's constructor: brings up the debug UART and returns its status.
EFI_STATUS EFIAPI DebugSerialPortConstructor(VOID);

#ifndef VEXA_SOURCE_FILE
#error "VEXA_SOURCE_FILE names the source in assertion reports; the build defines it for every module source"
#endif

// The expression is macro-expanded before it is turned into text, so a site
// written as "Buffer != NULL" reports "Buffer != ((void *) 0)".
#define _ASSERT(Expression) DebugAssert(VEXA_SOURCE_FILE, __LINE__, #Expression)

#define ASSERT(Expression)      \
  do {                          \
    if (DebugAssertEnabled()) { \
      if (!(Expression)) {      \
        _ASSERT(Expression);    \
      }                         \
    }                           \
  } while (FALSE)

#define DEBUG(ErrorLevel, ...)                    \
  do {                                            \
    if (DebugPrintEnabled()) {                    \
      if (DebugPrintLevelEnabled(ErrorLevel)) {   \
        DebugPrint((ErrorLevel), __VA_ARGS__);    \
      }                                           \
    }                                             \
  } while (FALSE)

#define ASSERT_EFI_ERROR(StatusParameter)                                              \
  do {                                                                                 \
    if (DebugAssertEnabled()) {                                                        \
      if (EFI_ERROR(StatusParameter)) {                                                \
        DEBUG(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", (StatusParameter));   \
        DebugAssert(VEXA_SOURCE_FILE, __LINE__, "!EFI_ERROR (Status)");                \
      }                                                                                \
    }                                                                                  \
  } while (FALSE)
