// Base types and calling convention shared by every module source.
//
// The module is freestanding: this header is the only place that defines the
// fundamental types, and nothing here comes from a C or C++ library.  EFIAPI is
// the Microsoft x64 convention in both builds, so the host build exercises the
// image's ABI, variadic functions included.
#pragma once

typedef unsigned long long UINT64;
typedef long long INT64;
typedef unsigned int UINT32;
typedef int INT32;
typedef unsigned short UINT16;
typedef short INT16;
typedef unsigned char UINT8;
typedef signed char INT8;
typedef UINT64 UINTN;
typedef INT64 INTN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef unsigned char BOOLEAN;
typedef void VOID;

static_assert(sizeof(UINT64) == 8 && sizeof(UINT32) == 4 && sizeof(UINT16) == 2 && sizeof(UINT8) == 1,
              "fixed-width types");
static_assert(sizeof(UINTN) == sizeof(void *), "UINTN is pointer-sized");
static_assert(sizeof(CHAR16) == 2 && sizeof(BOOLEAN) == 1, "character and boolean widths");

// The assertion texts spell these the way the sites expand them.
#define TRUE ((BOOLEAN)(1 == 1))
#define FALSE ((BOOLEAN)(0 == 1))
#undef NULL
#define NULL ((void *) 0)

#define EFIAPI __attribute__((ms_abi))

// Argument lists of EFIAPI variadic functions: one 8-byte slot per argument.
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start(Marker, Parameter)
#define VA_ARG(Marker, TYPE) __builtin_va_arg(Marker, TYPE)
#define VA_END(Marker) __builtin_ms_va_end(Marker)
#define VA_COPY(Dest, Start) __builtin_ms_va_copy(Dest, Start)

// A list of arguments laid out as consecutive 8-byte slots.
typedef UINT64 *BASE_LIST;

#define OFFSET_OF(TYPE, Field) ((UINTN) __builtin_offsetof(TYPE, Field))

typedef UINTN RETURN_STATUS;

#define ENCODE_ERROR(StatusCode) ((RETURN_STATUS)(0x8000000000000000ULL | (StatusCode)))
#define ENCODE_WARNING(StatusCode) ((RETURN_STATUS)(StatusCode))
#define RETURN_ERROR(StatusCode) (((INTN)(RETURN_STATUS)(StatusCode)) < 0)
