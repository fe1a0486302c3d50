// The engine against the C library's snprintf, on random formats made of the
// directives both read the same way:
//   d   with the flags -, +, space and 0, a width, a precision, and * for either;
//       "l" against "ll" for 64-bit values;
//   x   against the C library's "X" (our hexadecimal is always upper case),
//       with - and 0, width and precision;
//   X   against "X" with the 0 flag added (ours always zero-fills to a width);
//   a   with a precision, against "%.*s" right-aligned in the precision
//       (ours is a minimum as well as a maximum), then padded to the width;
//   c   with - and a width, non-zero characters;
// mixed with literal text, into buffers of random size.  The C side renders
// each directive alone and the pieces are joined and cut to the buffer.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MdePkg/Library/BasePrintLib/PrintLibInternal.h"

namespace {

constexpr int kCases = 100000;
constexpr unsigned kSeed = 0x5EED2026;

std::string CFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string CFormat(const char *format, ...) {
  char buffer[512];
  va_list list;
  va_start(list, format);
  const int length = vsnprintf(buffer, sizeof(buffer), format, list);
  va_end(list);
  EXPECT_LT(length, static_cast<int>(sizeof(buffer)));
  return std::string(buffer, static_cast<size_t>(length));
}

class CaseBuilder {
 public:
  explicit CaseBuilder(std::mt19937_64 &random) : random_(random) {}

  std::string ours;                  // our format
  std::vector<UINT64> slots;         // our arguments
  std::string expected;              // what the C library makes of the same directives
  std::vector<std::string> strings;  // storage for "a" arguments

  void AddLiteral() {
    static const char kLiteral[] = "abcXYZ 019-+.:()[]#*,";
    const int length = Pick(0, 3);
    for (int i = 0; i < length; ++i) {
      const char c = kLiteral[Pick(0, sizeof(kLiteral) - 2)];
      ours += c;
      expected += c;
    }
  }

  void AddDirective() {
    switch (Pick(0, 4)) {
      case 0:
        AddDecimal();
        break;
      case 1:
        AddHex(false);
        break;
      case 2:
        AddHex(true);
        break;
      case 3:
        AddString();
        break;
      default:
        AddCharacter();
        break;
    }
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int percent) { return Pick(0, 99) < percent; }

  INT64 Value(bool wide) {
    switch (Pick(0, 3)) {
      case 0:
        return Pick(-9, 9);
      case 1:
        return Pick(-100000, 100000);
      case 2:
        return wide ? static_cast<INT64>(random_()) : static_cast<INT32>(random_());
      default: {
        static const INT64 kEdges[] = {0, -1, INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX, 1000, -1000};
        const INT64 edge = kEdges[Pick(0, 7)];
        return wide ? edge : static_cast<INT32>(edge);
      }
    }
  }

  // Width and precision, written as digits or taken by "*"; the same text
  // goes into both formats, and "*" values go into our slots (the caller
  // passes them to the C side).
  struct Sizes {
    std::string text;
    bool hasWidth = false, starWidth = false, hasPrecision = false, starPrecision = false;
    int width = 0, precision = 0;
  };
  Sizes PickSizes(bool allowPrecision) {
    Sizes s;
    if (Chance(60)) {
      s.hasWidth = true;
      s.width = Pick(0, 30);
      s.starWidth = Chance(30);
      s.text += s.starWidth ? "*" : std::to_string(s.width);
    }
    if (allowPrecision && Chance(50)) {
      s.hasPrecision = true;
      s.precision = Pick(0, 25);
      s.starPrecision = Chance(30);
      s.text += "." + (s.starPrecision ? std::string("*") : std::to_string(s.precision));
    }
    return s;
  }
  void PushSizeSlots(const Sizes &s) {
    if (s.starWidth) slots.push_back(static_cast<UINT64>(s.width));
    if (s.starPrecision) slots.push_back(static_cast<UINT64>(s.precision));
  }
  // The C format for one directive with the sizes written out as digits.
  static std::string CSizes(const Sizes &s) {
    std::string text;
    if (s.hasWidth) text += std::to_string(s.width);
    if (s.hasPrecision) text += "." + std::to_string(s.precision);
    return text;
  }

  std::string Flags(const char *allowed) {
    std::string flags;
    const int count = Pick(0, 3);
    for (int i = 0; i < count; ++i) flags += allowed[Pick(0, static_cast<int>(strlen(allowed)) - 1)];
    return flags;
  }

  void AddDecimal() {
    const bool wide = Chance(40);
    const std::string flags = Flags("-+ 0");
    // "0" is read as a flag only before the width digits; put flags first.
    const Sizes sizes = PickSizes(true);
    const INT64 value = Value(wide);
    ours += "%" + flags + sizes.text + (wide ? "ld" : "d");
    PushSizeSlots(sizes);
    slots.push_back(static_cast<UINT64>(value));
    const std::string c = "%" + flags + CSizes(sizes) + (wide ? "lld" : "d");
    expected += wide ? CFormat(c.c_str(), static_cast<long long>(value)) : CFormat(c.c_str(), static_cast<int>(value));
  }

  void AddHex(bool upper) {
    const bool wide = Chance(40);
    const std::string flags = Flags("-0");
    const Sizes sizes = PickSizes(true);
    const INT64 value = Value(wide);
    ours += "%" + flags + sizes.text + (wide ? "l" : "") + (upper ? "X" : "x");
    PushSizeSlots(sizes);
    slots.push_back(static_cast<UINT64>(value));
    const std::string c = "%" + flags + (upper ? "0" : "") + CSizes(sizes) + (wide ? "llX" : "X");
    expected += wide ? CFormat(c.c_str(), static_cast<unsigned long long>(value))
                     : CFormat(c.c_str(), static_cast<unsigned>(value));
  }

  void AddString() {
    static const char kText[] = "The quick brown fox jumps over the lazy dog";
    strings.push_back(std::string(kText, static_cast<size_t>(Pick(0, 43))));
    const std::string &text = strings.back();
    const bool left = Chance(30);
    Sizes sizes = PickSizes(false);
    sizes.hasPrecision = true;
    sizes.precision = Pick(0, 50);
    sizes.starPrecision = Chance(30);
    sizes.text += "." + (sizes.starPrecision ? std::string("*") : std::to_string(sizes.precision));
    ours += std::string("%") + (left ? "-" : "") + sizes.text + "a";
    PushSizeSlots(sizes);
    slots.push_back(static_cast<UINT64>(reinterpret_cast<uintptr_t>(text.c_str())));
    const std::string inner = CFormat("%*.*s", sizes.precision, sizes.precision, text.c_str());
    expected += CFormat(left ? "%-*s" : "%*s", sizes.hasWidth ? sizes.width : 0, inner.c_str());
  }

  void AddCharacter() {
    const bool left = Chance(30);
    const Sizes sizes = PickSizes(false);
    const int character = Pick(0x21, 0x7E);
    ours += std::string("%") + (left ? "-" : "") + sizes.text + "c";
    PushSizeSlots(sizes);
    slots.push_back(static_cast<UINT64>(character));
    expected += CFormat((std::string("%") + (left ? "-" : "") + CSizes(sizes) + "c").c_str(), character);
  }

  std::mt19937_64 &random_;
};

TEST(PrintDifferential, AgreesWithSnprintfOnSharedDirectives) {
  std::mt19937_64 random(kSeed);
  int differences = 0;
  std::vector<char> buffer;
  for (int i = 0; i < kCases; ++i) {
    CaseBuilder builder(random);
    builder.strings.reserve(8);
    const int directives = std::uniform_int_distribution<int>(1, 4)(random);
    builder.AddLiteral();
    for (int d = 0; d < directives; ++d) {
      builder.AddDirective();
      builder.AddLiteral();
    }
    const UINTN size = std::uniform_int_distribution<int>(0, 9)(random) == 0
                           ? static_cast<UINTN>(std::uniform_int_distribution<int>(1, 40)(random))
                           : 256;
    buffer.assign(size + 8, '\x5A');
    std::vector<UINT64> slots = builder.slots;
    const bool baseList = (i & 1) == 0;
    VA_LIST list = reinterpret_cast<VA_LIST>(slots.data());
    const UINTN count = FormatIntoBuffer(buffer.data(), size, 0, builder.ours.c_str(), baseList ? nullptr : list,
                                         baseList ? slots.data() : nullptr);
    const std::string want = builder.expected.substr(0, size - 1);
    const std::string got(buffer.data(), strnlen(buffer.data(), size));
    if (got != want || count != want.size() || buffer[size] != '\x5A') {
      if (++differences <= 10) {
        ADD_FAILURE() << "case " << i << ": format \"" << builder.ours << "\" size " << size << "\n  ours: \"" << got
                      << "\" (" << count << ")\n  C:    \"" << want << "\"";
      }
    }
  }
  EXPECT_EQ(differences, 0) << "of " << kCases << " cases (seed " << kSeed << ")";
}

}  // namespace
