// The formatted-text engine: conversions, flags, layout, cuts at the capacity, invalid
// specifications, '%n' and the debug-only checks.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "sim/sim.h"
#include "support/format.h"

namespace {

const WCHAR Canary = 0xA5A5;
const DWORD GuardLength = 16;

struct Formatted {
  std::u16string text;
  DWORD count;
};

// Formats into a buffer followed by a guard zone, with the format copied to a heap block
// that ends with its terminator, so that AddressSanitizer sees any read past it. Checks the
// rules that hold for every call: count below the capacity, terminator after the text,
// nothing written past the capacity.
template <typename... Args>
Formatted Format(DWORD capacity, const char16_t* format, Args... args) {
  std::u16string copy(format);
  std::vector<char16_t> exactFormat(copy.c_str(), copy.c_str() + copy.size() + 1);
  EXPECT_EQ(exactFormat.capacity(), copy.size() + 1);
  std::vector<WCHAR> area(capacity + GuardLength, Canary);
  DWORD count = FormatText(area.data(), capacity, exactFormat.data(), args...);
  EXPECT_LT(count, capacity);
  if (count >= capacity) count = capacity - 1;
  EXPECT_EQ(area[count], 0) << "text not terminated";
  for (DWORD i = capacity; i < capacity + GuardLength; ++i) {
    EXPECT_EQ(area[i], Canary) << "written past the capacity at " << i;
  }
  return {std::u16string(area.data(), count), count};
}

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

struct IntegerCase {
  const char16_t* format;
  int64_t value;  // passed as int, or as a 64-bit value for the 64-bit table
  const char16_t* expected;
};

const IntegerCase Int32Cases[] = {
    {u"%d", 0, u"0"},
    {u"%d", -42, u"-42"},
    {u"%i", 7, u"7"},
    {u"%u", 0xFFFFFFFF, u"4294967295"},
    {u"%d", INT_MIN, u"-2147483648"},
    {u"%d", 0x80000000, u"-2147483648"},
    {u"%x", 255, u"ff"},
    {u"%x", -1, u"ffffffff"},
    {u"%X", 0xABCDEF, u"ABCDEF"},
    {u"%o", 8, u"10"},
    {u"%b", 5, u"101"},
    {u"%y", 5, u"101"},
    {u"%b", -1, u"11111111111111111111111111111111"},
    // radix prefixes
    {u"%#b", 5, u"0b101"},
    {u"%#y", 5, u"0y101"},
    {u"%#o", 8, u"010"},
    {u"%#d", -5, u"-0n5"},
    {u"%#u", 5, u"0n5"},
    {u"%#x", 0, u"0x0"},
    {u"%#x", 255, u"0xff"},
    {u"%#X", 255, u"0xFF"},
    {u"%#08X", 0x80070005, u"0x80070005"},
    {u"%#08X", 0x10000, u"0x010000"},
    // layout
    {u"%5d", -42, u"  -42"},
    {u"%05d", -42, u"-0042"},
    {u"% 5d", -42, u"-  42"},
    {u"%-5d", -42, u"-42  "},
    {u"%-05d", -42, u"-42  "},
    {u"%010d", 42, u"0000000042"},
    {u"%#8x", 255, u"    0xff"},
    {u"%#08x", 255, u"0x0000ff"},
    {u"%# 8x", 255, u"0x    ff"},
    {u"%-#8x|", 255, u"0xff    |"},
    {u"%#+08x", 255, u"+0x000ff"},
    {u"%2d", 12345, u"12345"},
    {u"%4294967301d", 42, u"   42"},  // the width accumulates in 32 bits: 5
    // sign
    {u"%+d", 42, u"+42"},
    {u"%+d", 0, u"+0"},
    {u"%+d", -1, u"-1"},
    {u"%+u", 5, u"+5"},
    {u"%+x", 255, u"+ff"},
    {u"%+5d", 42, u"  +42"},
    {u"%-+5d|", 42, u"+42  |"},
    // the last of '0' and ' ' chooses the fill
    {u"%+ 05d", 42, u"+0042"},
    {u"%+0 5d", 42, u"+  42"},
    // precision shortens from the left and never pads
    {u"%.2d", 12345, u"45"},
    {u"%.2d", -12345, u"-45"},
    {u"%.9d", 12345, u"12345"},
    {u"%.0d", 123, u"123"},
    {u"%8.2d", 12345, u"      45"},
    {u"%#.1x", 255, u"0xf"},
    // 16-bit class: signed widened with the sign, unsigned as the 16-bit value
    {u"%hd", 0xFFFF, u"-1"},
    {u"%hd", 0x18000, u"-32768"},
    {u"%hi", 0x7FFF, u"32767"},
    {u"%hu", 0xFFFF, u"65535"},
    {u"%hx", 0x8000, u"8000"},
    {u"%hx", 0x12345, u"2345"},
    {u"%hb", 0xFFFF0003, u"11"},
    // 32-bit modifiers
    {u"%ld", -1, u"-1"},
    {u"%lu", 0xFFFFFFFF, u"4294967295"},
    {u"%I32x", 255, u"ff"},
    {u"%I32d", -7, u"-7"},
};

TEST_F(FormatTest, ConvertsInt32Arguments) {
  for (const IntegerCase& c : Int32Cases) {
    SCOPED_TRACE(SimUtf8(c.format));
    Formatted r = Format(64, c.format, static_cast<int>(c.value));
    EXPECT_EQ(r.text, c.expected);
  }
}

const IntegerCase Int64Cases[] = {
    {u"%llx", 0x123456789, u"123456789"},
    {u"%I64x", 0x123456789, u"123456789"},
    {u"%Ix", 0x123456789, u"123456789"},
    {u"%zx", 0x123456789, u"123456789"},
    // without a 64-bit modifier only the low 32 bits are converted
    {u"%x", 0x123456789, u"23456789"},
    {u"%lld", INT64_MIN, u"-9223372036854775808"},
    {u"%I64d", -1, u"-1"},
    {u"%zd", -1, u"-1"},
    {u"%Id", -2, u"-2"},
    {u"%llu", -1, u"18446744073709551615"},
    {u"%#llo", -1, u"01777777777777777777777"},
    {u"%llb", -1, u"1111111111111111111111111111111111111111111111111111111111111111"},
    {u"%.3llu", 1234567890123, u"123"},
    // pointers: no prefix without '#', no leading zeros, modifiers ignored
    {u"%p", 0x1234, u"1234"},
    {u"%#p", 0x1234, u"0x1234"},
    {u"%P", 0xabc, u"ABC"},
    {u"%#P", 0xabc, u"0xABC"},
    {u"%hp", 0x123456789, u"123456789"},
    {u"%I32p", 0x123456789, u"123456789"},
    {u"%10p", 0x1234, u"      1234"},
    // '+' with a width turns the width into a precision and the fill into '0'
    {u"%+10p", 0x1234, u"+000001234"},
    {u"%+5p", 0x123456, u"+3456"},
    {u"%+1p", 0x1234, u"+1234"},
    {u"%+ 10p", 0x1234, u"+     1234"},
    {u"%+10.2p", 0x1234, u"       +34"},
    {u"%-+10p|", 0x1234, u"+1234     |"},
};

TEST_F(FormatTest, ConvertsInt64AndPointerArguments) {
  for (const IntegerCase& c : Int64Cases) {
    SCOPED_TRACE(SimUtf8(c.format));
    Formatted r = Format(80, c.format, static_cast<uint64_t>(c.value));
    EXPECT_EQ(r.text, c.expected);
  }
}

struct WideStringCase {
  const char16_t* format;
  const char16_t* argument;
  const char16_t* expected;
};

const WideStringCase WideStringCases[] = {
    {u"%s", u"abc", u"abc"},
    {u"%5s", u"abc", u"  abc"},
    {u"%-5s|", u"abc", u"abc  |"},
    {u"%05s", u"ab", u"000ab"},
    {u"%.2s", u"abc", u"ab"},
    {u"%.0s", u"abc", u"abc"},
    {u"%5s", u"", u""},
    {u"%+5s|", u"", u"|"},
    {u"%+s", u"ab", u"+ab"},
    {u"%+5s", u"ab", u"  +ab"},
    {u"%#s", u"ab", u"ab"},
    {u"%ls", u"ab", u"ab"},
    {u"%hs", u"ab", u"ab"},
    {u"%lls", u"ab", u"ab"},
    {u"%s", u"\u0141\u00e9\xFFFF", u"\u0141\u00e9\xFFFF"},
    {u"%s", nullptr, u"(null)"},
    {u"%.3s", nullptr, u"(nu"},
    {u"%s", u"50%d", u"50%d"},  // an argument is never a format
};

TEST_F(FormatTest, ConvertsWideStrings) {
  for (const WideStringCase& c : WideStringCases) {
    SCOPED_TRACE(SimUtf8(c.format));
    EXPECT_EQ(Format(64, c.format, c.argument).text, c.expected);
  }
}

struct NarrowStringCase {
  const char16_t* format;
  const char* argument;
  const char16_t* expected;
};

const NarrowStringCase NarrowStringCases[] = {
    {u"%S", "abc", u"abc"},
    {u"%4S", "ab", u"  ab"},
    {u"%.2S", "abc", u"ab"},
    {u"%+S", "ab", u"+ab"},
    {u"%hS", "ab", u"ab"},
    {u"%S", "", u""},
    {u"%S", nullptr, u"(null)"},
    // bytes become characters of the same value, without code-page conversion
    {u"%S", "\xE9\x80\xFF", u"\u00e9\u0080\u00ff"},
};

TEST_F(FormatTest, ConvertsNarrowStrings) {
  for (const NarrowStringCase& c : NarrowStringCases) {
    SCOPED_TRACE(SimUtf8(c.format));
    EXPECT_EQ(Format(64, c.format, c.argument).text, c.expected);
  }
}

const IntegerCase CharacterCases[] = {
    {u"%c", 'A', u"A"},
    {u"%+c", 'A', u"+A"},
    {u"%#c", 'A', u"A"},
    {u"%3c", 'x', u"  x"},
    {u"%-3c|", 'x', u"x  |"},
    {u"%lc", 'B', u"B"},
    {u"%hc", 'B', u"B"},
    {u"%c", 0x10141, u"\u0141"},
    {u"%C", 0x141, u"A"},
    {u"%C", 0xE9, u"\u00e9"},
    {u"%.1c", 'q', u"q"},
};

TEST_F(FormatTest, ConvertsCharacters) {
  for (const IntegerCase& c : CharacterCases) {
    SCOPED_TRACE(SimUtf8(c.format));
    EXPECT_EQ(Format(64, c.format, static_cast<int>(c.value)).text, c.expected);
  }
}

TEST_F(FormatTest, ZeroCharacterIsWrittenAndCounted) {
  Formatted r = Format(16, u"a%cb%c", 0, 'z');
  EXPECT_EQ(r.count, 4u);
  EXPECT_EQ(r.text, std::u16string(u"a\0bz", 4));
}

TEST_F(FormatTest, PrecisionBoundsTheStringRead) {
  // Not terminated: with a precision the engine must not look past the third character.
  const char16_t wide[3] = {u'a', u'b', u'c'};
  const char narrow[2] = {'x', 'y'};
  EXPECT_EQ(Format(16, u"%.3s|%.2S", wide, narrow).text, u"abc|xy");
}

// Invalid specifications are copied as text and consume no argument: the next conversion
// still reads 7 and then 8.
struct TextCase {
  const char16_t* format;
  const char16_t* expected;
};

const TextCase InvalidCases[] = {
    {u"%q %d", u"%q 7"},
    {u"%5%d", u"%57"},
    {u"%-% %d", u"%-% 7"},
    {u"%.s %d", u"%.s 7"},
    {u"%.x %d", u"%.x 7"},
    {u"%hhd %d", u"%hhd 7"},
    {u"%llld %d", u"%llld 7"},
    {u"%lh %d", u"%lh 7"},
    {u"%f %d", u"%f 7"},
    {u"%5n %d", u"%5n 7"},
    {u"%I %d", u"%I 7"},
    {u"%I6x %d", u"%I6x 7"},
    {u"%I3 %d", u"%I3 7"},
    {u"%*5d %d", u"%*5d 7"},    // the '*' read is taken back
    {u"%.*q %d %d", u"%.*q 7 8"},
    {u"%*.*z %d", u"%*.*z 7"},
    {u"%d %Q %d", u"7 %Q 8"},
    // the terminator ends every kind of unfinished specification
    {u"abc%", u"abc%"},
    {u"%-", u"%-"},
    {u"%5", u"%5"},
    {u"%.", u"%."},
    {u"%.5", u"%.5"},
    {u"%l", u"%l"},
    {u"%I6", u"%I6"},
    {u"%I", u"%I"},
    {u"%I3", u"%I3"},
    {u"%*", u"%*"},
    // "%%" only directly after the '%'
    {u"%%", u"%"},
    {u"%%d", u"%d"},
    {u"100%% %d", u"100% 7"},
};

TEST_F(FormatTest, CopiesInvalidSpecificationsWithoutReadingArguments) {
  for (const TextCase& c : InvalidCases) {
    SCOPED_TRACE(SimUtf8(c.format));
    EXPECT_EQ(Format(64, c.format, 7, 8).text, c.expected);
  }
}

TEST_F(FormatTest, StarReadsWidthAndPrecisionBeforeTheValue) {
  EXPECT_EQ(Format(32, u"%*d|", 5, 42).text, u"   42|");
  EXPECT_EQ(Format(32, u"%-*d|", 5, 42).text, u"42   |");
  EXPECT_EQ(Format(32, u"%.*s", 2, u"abcdef").text, u"ab");
  EXPECT_EQ(Format(32, u"%.*5s", 0, u"abcdefgh").text, u"abcde");
  EXPECT_EQ(Format(32, u"%.*5s", 1, u"abcdefghijklmnopq").text, u"abcdefghijklmno");
  EXPECT_EQ(Format(32, u"%*.*s|", 4, 2, u"abc").text, u"  ab|");
  EXPECT_EQ(Format(32, u"%.*d", 0, 12345).text, u"12345");
  // A negative width is a huge one: the fill takes all the room.
  Formatted r = Format(20, u"%*d|", -1, 42);
  EXPECT_EQ(r.count, 19u);
  EXPECT_EQ(r.text, std::u16string(19, u' '));
  EXPECT_EQ(Format(20, u"%-*d|", -1, 42).text, u"42" + std::u16string(17, u' '));
}

struct CutCase {
  DWORD capacity;
  const char16_t* format;
  int value;
  const char16_t* expected;
};

const CutCase CutCases[] = {
    {1, u"abc", 0, u""},
    {1, u"%d", 5, u""},
    {5, u"abcdefgh", 0, u"abcd"},
    {5, u"ab%dxyz", 123456, u"ab12"},   // inside the digits
    {6, u"%-8d|", 1, u"1    "},         // inside the trailing fill
    {4, u"%#08x", 255, u"0x0"},         // inside the '0' fill
    {2, u"%#08x", 255, u"0"},           // inside the prefix
    {3, u"%+#x", 255, u"+0"},           // inside the lead-in
    {4, u"%6d", 1, u"   "},             // inside the leading fill
    {6, u"%+6d", 1, u"    +"},          // lead-in after the fill
    {4, u"%#-8o|", 8, u"010"},
    {3, u"ab%c", 'c', u"ab"},
    {4, u"%%%%%%", 0, u"%%%"},
};

TEST_F(FormatTest, CutsAtTheCapacityInsideAnyField) {
  for (const CutCase& c : CutCases) {
    SCOPED_TRACE(SimUtf8(c.format) + " capacity " + std::to_string(c.capacity));
    Formatted r = Format(c.capacity, c.format, c.value);
    EXPECT_EQ(r.text, c.expected);
    EXPECT_EQ(r.count, std::u16string(c.expected).size());
  }
  EXPECT_EQ(Format(3, u"a%sb", u"xyz").text, u"ax");
  EXPECT_EQ(Format(4, u"%S", "abcdef").text, u"abc");
  EXPECT_EQ(Format(5, u"%llb", static_cast<uint64_t>(-1)).text, u"1111");
}

TEST_F(FormatTest, PercentNStoresTheCountSoFar) {
  int first = -1, second = -1;
  Formatted r = Format(32, u"ab%ncd%5d%n!", &first, 7, &second);
  EXPECT_EQ(r.text, u"abcd    7!");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 9);

  int atStart = -1;
  EXPECT_EQ(Format(8, u"%n%d", &atStart, 3).text, u"3");
  EXPECT_EQ(atStart, 0);

  // No room left before the "%n", cut inside the text or right at the '%': the rest of
  // the format is not processed and the count is not stored.
  for (const char16_t* format : {u"abc%n", u"ab%n"}) {
    SCOPED_TRACE(SimUtf8(format));
    int late = -1;
    EXPECT_EQ(Format(3, format, &late).text, u"ab");
    EXPECT_EQ(late, -1);
  }
}

TEST_F(FormatTest, ShortTextHas128CharactersAndReturnsTheBuffer) {
  std::vector<WCHAR> area(SHORT_TEXT_CAPACITY + GuardLength, Canary);
  std::u16string longText(300, u'x');
  LPWSTR result = FormatShortText(area.data(), u"(%s)", longText.c_str());
  EXPECT_EQ(result, area.data());
  EXPECT_EQ(std::u16string(area.data()), u"(" + std::u16string(126, u'x'));
  for (DWORD i = SHORT_TEXT_CAPACITY; i < area.size(); ++i) EXPECT_EQ(area[i], Canary);
  EXPECT_EQ(std::u16string(FormatShortText(area.data(), u"%s-%d", u"C:", 3)), u"C:-3");
}

// FormatTextV on a list that its caller has already moved on.
DWORD FormatAfterFirst(LPWSTR buffer, DWORD capacity, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_arg(arguments, int);
  DWORD count = FormatTextV(buffer, capacity, format, arguments);
  va_end(arguments);
  return count;
}

TEST_F(FormatTest, FormatTextVReadsTheGivenList) {
  WCHAR buffer[16];
  EXPECT_EQ(FormatAfterFirst(buffer, 16, u"%d/%s", 1, 2, u"x"), 3u);
  EXPECT_EQ(std::u16string(buffer), u"2/x");
}

struct DigitsCase {
  uint64_t value;
  DWORD radix;
  DWORD capacity;
  const char16_t* expected;
};

const DigitsCase Digits32Cases[] = {
    {0, 10, 70, u"0"},
    {255, 16, 70, u"ff"},
    {35, 36, 70, u"z"},
    {36, 36, 70, u"10"},
    {0xFFFFFFFF, 36, 70, u"1z141z3"},
    {0xFFFFFFFF, 2, 70, u"11111111111111111111111111111111"},
    {0x80000000, 8, 70, u"20000000000"},
    {12345, 10, 3, u"12"},  // the most significant digits are kept
    {12345, 10, 1, u""},
    {7, 3, 70, u"21"},
};

const DigitsCase Digits64Cases[] = {
    {0, 2, 70, u"0"},
    {UINT64_MAX, 36, 70, u"3w5e11264sgsf"},
    {UINT64_MAX, 10, 70, u"18446744073709551615"},
    {UINT64_MAX, 2, 70, u"1111111111111111111111111111111111111111111111111111111111111111"},
    {UINT64_MAX, 2, 65, u"1111111111111111111111111111111111111111111111111111111111111111"},
    {0x123456789, 16, 4, u"123"},
};

template <size_t N>
void CheckDigits(const DigitsCase (&cases)[N], bool wide) {
  for (const DigitsCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + " radix " + std::to_string(c.radix));
    std::vector<WCHAR> area(c.capacity + GuardLength, Canary);
    DWORD n = wide ? ToDigits64(area.data(), c.capacity, c.value, c.radix)
                   : ToDigits32(area.data(), c.capacity, static_cast<uint32_t>(c.value), c.radix);
    EXPECT_EQ(std::u16string(area.data()), c.expected);
    EXPECT_EQ(n, std::u16string(c.expected).size());
    for (DWORD i = c.capacity; i < area.size(); ++i) EXPECT_EQ(area[i], Canary);
  }
}

TEST_F(FormatTest, ToDigitsWritesMostSignificantDigitsFirst) {
  CheckDigits(Digits32Cases, false);
  CheckDigits(Digits64Cases, true);
}

// One FormatConversion call through a variable argument list; reports what it wrote and
// the argument that comes next.
struct Conversion {
  bool ok;
  std::u16string written;
  DWORD remaining;
  size_t formatAdvance;
  int nextArgument;
};

Conversion Convert(const char16_t* format, DWORD remaining, ...) {
  va_list arguments;
  va_start(arguments, remaining);
  WCHAR area[32];
  for (WCHAR& ch : area) ch = Canary;
  LPWSTR out = area;
  LPCWSTR position = format;
  Conversion c;
  c.ok = FormatConversion(&out, &remaining, &position, &arguments);
  c.written.assign(area, out);
  c.remaining = remaining;
  c.formatAdvance = static_cast<size_t>(position - format);
  c.nextArgument = va_arg(arguments, int);
  va_end(arguments);
  return c;
}

TEST_F(FormatTest, ConversionMovesAllPositionsOnlyOnSuccess) {
  Conversion c = Convert(u"*dXY", 10, 5, 42, 99);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.written, u"   42");
  EXPECT_EQ(c.remaining, 5u);
  EXPECT_EQ(c.formatAdvance, 2u);
  EXPECT_EQ(c.nextArgument, 99);

  c = Convert(u"*5d", 10, 5, 42, 99);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.written, u"");
  EXPECT_EQ(c.remaining, 10u);
  EXPECT_EQ(c.formatAdvance, 0u);
  EXPECT_EQ(c.nextArgument, 5);

  // No room: nothing written, but the argument is still consumed.
  c = Convert(u"x", 0, 255, 99);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.written, u"");
  EXPECT_EQ(c.formatAdvance, 1u);
  EXPECT_EQ(c.nextArgument, 99);

  c = Convert(u"-6.3Ix|", 4, static_cast<uintptr_t>(0xABCDEF), 99);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.written, u"def ");
  EXPECT_EQ(c.remaining, 0u);
  EXPECT_EQ(c.formatAdvance, 6u);
  EXPECT_EQ(c.nextArgument, 99);
}

TEST_F(FormatTest, MakesNoSystemCallAndKeepsTheLastError) {
  SetLastError(0x1234ABCD);
  int stored = 0;
  Format(8, u"%s %+#010llx %S %c %n %q", u"text", static_cast<uint64_t>(1), "narrow", 'c', &stored);
  EXPECT_TRUE(SimCallLog().empty());
  EXPECT_EQ(GetLastError(), 0x1234ABCDu);
}

// The caller errors, each tried without and with a debugger.

struct CallerError {
  const char* name;
  void (*call)();
};

WCHAR errorBuffer[16];

const CallerError CallerErrors[] = {
    {"null buffer", [] { EXPECT_EQ(FormatText(nullptr, 16, u"abc"), 0u); }},
    {"capacity 0",
     [] {
       errorBuffer[0] = u'#';
       EXPECT_EQ(FormatText(errorBuffer, 0, u"abc"), 0u);
       EXPECT_EQ(errorBuffer[0], u'#');
     }},
    {"null format",
     [] {
       errorBuffer[0] = u'#';
       EXPECT_EQ(FormatText(errorBuffer, 16, nullptr), 0u);
       EXPECT_EQ(errorBuffer[0], 0);
     }},
    {"null %n pointer",
     [] {
       EXPECT_EQ(FormatText(errorBuffer, 16, u"a%nb", static_cast<int*>(nullptr)), 2u);
       EXPECT_EQ(std::u16string(errorBuffer), u"ab");
     }},
    {"radix 0", [] { EXPECT_EQ(ToDigits32(errorBuffer, 16, 5, 0), 0u); }},
    {"radix 1", [] { EXPECT_EQ(ToDigits64(errorBuffer, 16, 5, 1), 0u); }},
    {"radix 37", [] { EXPECT_EQ(ToDigits32(errorBuffer, 16, 5, 37), 0u); }},
    {"null conversion output",
     [] {
       DWORD remaining = 4;
       LPCWSTR format = u"d";
       va_list* none = nullptr;
       EXPECT_FALSE(FormatConversion(nullptr, &remaining, &format, none));
     }},
    {"null conversion list",
     [] {
       DWORD remaining = 4;
       LPCWSTR format = u"*d";
       LPWSTR out = errorBuffer;
       EXPECT_FALSE(FormatConversion(&out, &remaining, &format, nullptr));
       EXPECT_EQ(out, errorBuffer);
       EXPECT_EQ(remaining, 4u);
       EXPECT_EQ(std::u16string(format), u"*d");
     }},
};

TEST_F(FormatTest, CallerErrorsBreakOnlyUnderADebugger) {
  for (bool debugger : {false, true}) {
    for (const CallerError& e : CallerErrors) {
      SCOPED_TRACE(std::string(e.name) + (debugger ? " with debugger" : " without debugger"));
      SimReset();
      SimSetDebuggerPresent(debugger);
      SetLastError(77);
      e.call();
      EXPECT_EQ(SimBreakpointCount(), debugger ? 1 : 0);
      EXPECT_EQ(GetLastError(), 77u);
    }
  }
}

// The type of FormatTextV's list parameter. Only where the ABI's va_list is a pointer can
// a null list be passed at all.
template <typename F>
struct ListParameter;
template <typename R, typename A, typename B, typename C, typename D>
struct ListParameter<R(A, B, C, D)> {
  using type = D;
};

template <typename List = ListParameter<decltype(FormatTextV)>::type>
void CheckNullArgumentList() {
  if constexpr (std::is_pointer_v<List>) {
    for (bool debugger : {false, true}) {
      SimReset();
      SimSetDebuggerPresent(debugger);
      WCHAR buffer[16];
      // Text without conversions needs no list; a conversion is then copied as text.
      EXPECT_EQ(FormatTextV(buffer, 16, u"plain %% %q", List(nullptr)), 10u);
      EXPECT_EQ(SimBreakpointCount(), 0);
      EXPECT_EQ(FormatTextV(buffer, 16, u"a%db", List(nullptr)), 4u);
      EXPECT_EQ(std::u16string(buffer), u"a%db");
      EXPECT_EQ(SimBreakpointCount(), debugger ? 1 : 0);
    }
  } else {
    GTEST_SKIP() << "va_list is not a pointer here";
  }
}

TEST_F(FormatTest, NullArgumentListBreaksOnlyWhereAnArgumentIsRead) { CheckNullArgumentList(); }

TEST_F(FormatTest, ValidCallsDoNotBreakUnderADebugger) {
  SimSetDebuggerPresent(true);
  int stored = 0;
  Format(4, u"%d %s %n %q", 123456, u"abc", &stored);
  Format(64, u"%+#0*.*llx %-5S %C %%", 10, 3, static_cast<uint64_t>(0xFFFF), "ab", 'x');
  WCHAR digits[70];
  ToDigits64(digits, 70, UINT64_MAX, 2);
  EXPECT_EQ(SimBreakpointCount(), 0);
}

}  // namespace
