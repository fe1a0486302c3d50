// AsciiSPrint against the C library's snprintf and {fmt}'s format_to_n, each
// producing the same text into a 256-byte buffer, on the four workloads of
// the module's diagnostics: the assertion report line, "%r" statuses, "%g"
// GUIDs, and integers with widths and flags.  Each benchmark first checks
// that its text equals the engine's.  One more shows what the engine's two
// size checks alone cost on the assertion line.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Library/BaseLib.h"
#include "Library/PrintLib.h"
#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"
#include "Uefi/UefiBaseType.h"

namespace {

constexpr size_t kBufferSize = 256;

const char kFile[] = "MdePkg/Library/BasePrintLib/PrintLibInternal";
const char kDescription[] = "(((Flags & 0x00000040) != 0)) || (AsciiStrSize (OriginalBuffer) != 0)";
constexpr int kLine = 612;

const EFI_STATUS kStatuses[] = {
    EFI_SUCCESS,         EFI_NOT_FOUND,         EFI_DEVICE_ERROR,     EFI_INCOMPATIBLE_VERSION,
    EFI_WARN_STALE_DATA, 0x8000000000000022ull, EFI_COMPROMISED_DATA, 6};
constexpr size_t kStatusCount = sizeof(kStatuses) / sizeof(kStatuses[0]);

const EFI_GUID kGuids[] = {
    {0x8497455B, 0xB489, 0x4AC7, {0xBD, 0x51, 0x78, 0xDF, 0x4E, 0x1F, 0x1A, 0xCD}},
    {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}},
    {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}},
};
constexpr size_t kGuidCount = sizeof(kGuids) / sizeof(kGuids[0]);

const INT32 kIntegers[] = {42, -42, 1234567, 0, -2147483647, 65535, 7, -1};
constexpr size_t kIntegerCount = sizeof(kIntegers) / sizeof(kIntegers[0]);

// The status texts as the C library and {fmt} get them: the same table lookup
// the engine makes, then "%08X" for unlisted codes.
const char *StatusName(EFI_STATUS status) {
  const UINT64 code = status & ~0x8000000000000000ull;
  if ((status >> 63) != 0 && code >= 1 && code <= 33) return StatusTextRow(code + 5);
  if ((status >> 63) == 0 && status <= 5) return StatusTextRow(status);
  return nullptr;
}

// ---- The assertion report line --------------------------------------------------

void AssertLineEngine(benchmark::State &state) {
  char buffer[kBufferSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(AsciiSPrint(buffer, sizeof(buffer), "ASSERT %a(%d): %a\n", kFile, kLine, kDescription));
    benchmark::ClobberMemory();
  }
}

std::string AssertLineExpected() {
  char buffer[kBufferSize];
  AsciiSPrint(buffer, sizeof(buffer), "ASSERT %a(%d): %a\n", kFile, kLine, kDescription);
  return buffer;
}

void AssertLineSnprintf(benchmark::State &state) {
  char buffer[kBufferSize];
  snprintf(buffer, sizeof(buffer), "ASSERT %s(%d): %s\r\n", kFile, kLine, kDescription);
  if (AssertLineExpected() != buffer) state.SkipWithError("text differs from the engine's");
  for (auto _ : state) {
    benchmark::DoNotOptimize(snprintf(buffer, sizeof(buffer), "ASSERT %s(%d): %s\r\n", kFile, kLine, kDescription));
    benchmark::ClobberMemory();
  }
}

void AssertLineFmt(benchmark::State &state) {
  char buffer[kBufferSize];
  auto r = fmt::format_to_n(buffer, sizeof(buffer) - 1, "ASSERT {}({}): {}\r\n", kFile, kLine, kDescription);
  *r.out = 0;
  if (AssertLineExpected() != buffer) state.SkipWithError("text differs from the engine's");
  for (auto _ : state) {
    auto result = fmt::format_to_n(buffer, sizeof(buffer) - 1, "ASSERT {}({}): {}\r\n", kFile, kLine, kDescription);
    *result.out = 0;
    benchmark::ClobberMemory();
  }
}

// The two size checks the engine makes on this workload walk its format and
// its finished text byte by byte (AsciiStrSize): part of AsciiSPrint's time
// above, which snprintf does not spend.
void AssertLineSizeWalks(benchmark::State &state) {
  const std::string line = AssertLineExpected();
  const char *const format = "ASSERT %a(%d): %a\n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(AsciiStrSize(format));
    benchmark::DoNotOptimize(AsciiStrSize(line.c_str()));
  }
}

// ---- Statuses ----------------------------------------------------------------------

void StatusEngine(benchmark::State &state) {
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(AsciiSPrint(buffer, sizeof(buffer), "Status = %r\n", kStatuses[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kStatusCount ? 0 : i + 1;
  }
}

int StatusSnprintf(char *buffer, EFI_STATUS status) {
  const char *name = StatusName(status);
  return name != nullptr ? snprintf(buffer, kBufferSize, "Status = %s\r\n", name)
                         : snprintf(buffer, kBufferSize, "Status = %08X\r\n", static_cast<unsigned>(status));
}

void StatusFmt(char *buffer, EFI_STATUS status) {
  const char *name = StatusName(status);
  auto r = name != nullptr
               ? fmt::format_to_n(buffer, kBufferSize - 1, "Status = {}\r\n", name)
               : fmt::format_to_n(buffer, kBufferSize - 1, "Status = {:08X}\r\n", static_cast<UINT32>(status));
  *r.out = 0;
}

bool StatusTextsAgree(bool useFmt) {
  for (EFI_STATUS status : kStatuses) {
    char ours[kBufferSize], theirs[kBufferSize];
    AsciiSPrint(ours, sizeof(ours), "Status = %r\n", status);
    if (useFmt) {
      StatusFmt(theirs, status);
    } else {
      StatusSnprintf(theirs, status);
    }
    if (strcmp(ours, theirs) != 0) return false;
  }
  return true;
}

void StatusSnprintfBenchmark(benchmark::State &state) {
  if (!StatusTextsAgree(false)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(StatusSnprintf(buffer, kStatuses[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kStatusCount ? 0 : i + 1;
  }
}

void StatusFmtBenchmark(benchmark::State &state) {
  if (!StatusTextsAgree(true)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    StatusFmt(buffer, kStatuses[i]);
    benchmark::ClobberMemory();
    i = i + 1 == kStatusCount ? 0 : i + 1;
  }
}

// ---- GUIDs ---------------------------------------------------------------------------

void GuidEngine(benchmark::State &state) {
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(AsciiSPrint(buffer, sizeof(buffer), "%g", &kGuids[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kGuidCount ? 0 : i + 1;
  }
}

int GuidSnprintf(char *buffer, const EFI_GUID &g) {
  return snprintf(buffer, kBufferSize, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

void GuidFmt(char *buffer, const EFI_GUID &g) {
  auto r = fmt::format_to_n(
      buffer, kBufferSize - 1, "{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", g.Data1,
      g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  *r.out = 0;
}

bool GuidTextsAgree(bool useFmt) {
  for (const EFI_GUID &g : kGuids) {
    char ours[kBufferSize], theirs[kBufferSize];
    AsciiSPrint(ours, sizeof(ours), "%g", &g);
    if (useFmt) {
      GuidFmt(theirs, g);
    } else {
      GuidSnprintf(theirs, g);
    }
    if (strcmp(ours, theirs) != 0) return false;
  }
  return true;
}

void GuidSnprintfBenchmark(benchmark::State &state) {
  if (!GuidTextsAgree(false)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GuidSnprintf(buffer, kGuids[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kGuidCount ? 0 : i + 1;
  }
}

void GuidFmtBenchmark(benchmark::State &state) {
  if (!GuidTextsAgree(true)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    GuidFmt(buffer, kGuids[i]);
    benchmark::ClobberMemory();
    i = i + 1 == kGuidCount ? 0 : i + 1;
  }
}

// ---- Integers with widths and flags ------------------------------------------------
// Ours "%5d|%-8x|%08X|%+d|% d|%.3d|%ld"; the C library's and {fmt}'s
// equivalents (upper-case hexadecimal, a 64-bit value last).

int MixedEngine(char *buffer, INT32 v) {
  return static_cast<int>(AsciiSPrint(buffer, kBufferSize, "%5d|%-8x|%08X|%+d|% d|%.3d|%ld", v, v, v, v, v,
                                      v < 0 ? -v : v, static_cast<INT64>(v) * 1000003));
}

int MixedSnprintf(char *buffer, INT32 v) {
  return snprintf(buffer, kBufferSize, "%5d|%-8X|%08X|%+d|% d|%.3d|%lld", v, static_cast<unsigned>(v),
                  static_cast<unsigned>(v), v, v, v < 0 ? -v : v, static_cast<long long>(v) * 1000003);
}

void MixedFmt(char *buffer, INT32 v) {
  auto r = fmt::format_to_n(buffer, kBufferSize - 1, "{:5}|{:<8X}|{:08X}|{:+}|{: }|{:03}|{}", v, static_cast<UINT32>(v),
                            static_cast<UINT32>(v), v, v, v < 0 ? -v : v, static_cast<INT64>(v) * 1000003);
  *r.out = 0;
}

bool MixedTextsAgree(bool useFmt) {
  for (INT32 v : kIntegers) {
    char ours[kBufferSize], theirs[kBufferSize];
    MixedEngine(ours, v);
    if (useFmt) {
      MixedFmt(theirs, v);
    } else {
      MixedSnprintf(theirs, v);
    }
    if (strcmp(ours, theirs) != 0) return false;
  }
  return true;
}

void MixedEngineBenchmark(benchmark::State &state) {
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MixedEngine(buffer, kIntegers[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kIntegerCount ? 0 : i + 1;
  }
}

void MixedSnprintfBenchmark(benchmark::State &state) {
  if (!MixedTextsAgree(false)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MixedSnprintf(buffer, kIntegers[i]));
    benchmark::ClobberMemory();
    i = i + 1 == kIntegerCount ? 0 : i + 1;
  }
}

void MixedFmtBenchmark(benchmark::State &state) {
  if (!MixedTextsAgree(true)) state.SkipWithError("text differs from the engine's");
  char buffer[kBufferSize];
  size_t i = 0;
  for (auto _ : state) {
    MixedFmt(buffer, kIntegers[i]);
    benchmark::ClobberMemory();
    i = i + 1 == kIntegerCount ? 0 : i + 1;
  }
}

}  // namespace

BENCHMARK(AssertLineEngine)->Name("AssertLine/AsciiSPrint");
BENCHMARK(AssertLineSnprintf)->Name("AssertLine/snprintf");
BENCHMARK(AssertLineFmt)->Name("AssertLine/fmt_format_to_n");
BENCHMARK(AssertLineSizeWalks)->Name("AssertLine/AsciiSPrint_size_checks_only");
BENCHMARK(StatusEngine)->Name("Status/AsciiSPrint");
BENCHMARK(StatusSnprintfBenchmark)->Name("Status/snprintf");
BENCHMARK(StatusFmtBenchmark)->Name("Status/fmt_format_to_n");
BENCHMARK(GuidEngine)->Name("Guid/AsciiSPrint");
BENCHMARK(GuidSnprintfBenchmark)->Name("Guid/snprintf");
BENCHMARK(GuidFmtBenchmark)->Name("Guid/fmt_format_to_n");
BENCHMARK(MixedEngineBenchmark)->Name("MixedIntegers/AsciiSPrint");
BENCHMARK(MixedSnprintfBenchmark)->Name("MixedIntegers/snprintf");
BENCHMARK(MixedFmtBenchmark)->Name("MixedIntegers/fmt_format_to_n");

BENCHMARK_MAIN();
