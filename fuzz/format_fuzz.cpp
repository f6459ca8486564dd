// Fuzzes the formatted-text engine in three ways:
//   - any format, any capacity, arguments that are valid both as integers and as pointers:
//     nothing may be written past the capacity, the text must be terminated, the count must
//     stay below the capacity, and the format, kept in a heap block that ends with its
//     terminator, must not be read past it;
//   - one valid conversion between two literal texts, built from the input: its text must
//     equal that of a small model of the conversion rules, and where the conversion is one
//     that C's swprintf has too (same flags, width, precision and argument), that of
//     swprintf, whose wide characters are 32-bit here and are compared by value;
//   - the digits of a 64-bit value in any radix must read back as the value.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <memory>

#include "support/format.h"

namespace {

const DWORD MaxCapacity = 600;
const DWORD GuardLength = 32;
const WCHAR Canary = 0xA5A5;
const size_t MaxFormat = 2048;
// Every conversion reads at most three arguments ('*' width, '*' precision, value); the
// format is cut so that its '%' signs never ask for more than the call passes.
const unsigned MaxPercents = 21;
// Room for the text of one checked conversion: where swprintf is compared, widths stay
// below 1000; the model cuts longer fills (a '*' width may be huge) at this length.
const size_t OracleCapacity = 4096;

// Every argument is the same pointer into this arena. Read as a pointer it leads to a
// zero-filled area that holds a short wide string (so also a short narrow one) and takes
// a '%n' store; read as an integer its low bits vary with the chosen offset.
alignas(65536) unsigned char Arena[65536 + 64];

void Fail(const char* what) {
  fprintf(stderr, "%s\n", what);
  abort();
}

#define ARGS8(a) a, a, a, a, a, a, a, a
#define ARGS64(a) ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a)

// Takes bytes from the input, zeros once it is used up.
struct Reader {
  const uint8_t* data;
  size_t size;
};

uint8_t Byte(Reader* r) {
  if (r->size == 0) return 0;
  --r->size;
  return *r->data++;
}

uint64_t Bytes(Reader* r, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value |= static_cast<uint64_t>(Byte(r)) << (8 * i);
  return value;
}

void CheckDigits(const uint8_t* data, size_t size) {
  if (size < 10) return;
  uint64_t value;
  memcpy(&value, data, 8);
  DWORD radix = 2 + data[8] % 35;
  DWORD capacity = 1 + data[9] % 70;
  WCHAR area[70 + GuardLength];
  for (WCHAR& ch : area) ch = Canary;
  DWORD n = ToDigits64(area, capacity, value, radix);
  if (n >= capacity || area[n] != 0) Fail("digits not terminated within the capacity");
  for (DWORD i = capacity; i < 70 + GuardLength; ++i) {
    if (area[i] != Canary) Fail("digits written past the capacity");
  }
  if (capacity == 70) {  // room for every digit: they must read back as the value
    uint64_t back = 0;
    for (DWORD i = 0; i < n; ++i) {
      WCHAR ch = area[i];
      DWORD digit = ch <= '9' ? ch - '0' : ch - 'a' + 10;
      if (digit >= radix) Fail("digit out of range");
      back = back * radix + digit;
    }
    if (back != value) Fail("digits do not give the value back");
  }
}

// A text of bounded length in a fixed array: the checks allocate nothing on the heap but
// the format copies, which keeps the runs fast under AddressSanitizer.
struct Text {
  char16_t chars[OracleCapacity];
  size_t length;
};

void Append(Text* text, char16_t ch, uint64_t count = 1) {
  for (; count > 0 && text->length < OracleCapacity - 1; --count) text->chars[text->length++] = ch;
}

void AppendAscii(Text* text, const char* ascii) {
  for (; *ascii; ++ascii) Append(text, static_cast<char16_t>(*ascii));
}

void AppendText(Text* text, const Text& more) {
  for (size_t i = 0; i < more.length; ++i) Append(text, more.chars[i]);
}

bool SameText(const Text& a, const Text& b) {
  return a.length == b.length && memcmp(a.chars, b.chars, a.length * sizeof(char16_t)) == 0;
}

// The format in a heap block that ends with its terminator, so that AddressSanitizer sees
// any read past it.
std::unique_ptr<WCHAR[]> ExactCopy(const Text& format) {
  std::unique_ptr<WCHAR[]> copy(new WCHAR[format.length + 1]);
  memcpy(copy.get(), format.chars, format.length * sizeof(WCHAR));
  copy[format.length] = 0;
  return copy;
}

// Formats with a capacity into an area with a guard zone, checks the rules that hold for
// every call and returns the text.
template <typename... Args>
void FormatChecked(Text* result, const WCHAR* format, DWORD capacity, Args... args) {
  static WCHAR area[OracleCapacity + GuardLength];
  for (DWORD i = 0; i < capacity + GuardLength; ++i) area[i] = Canary;
  DWORD count = FormatText(area, capacity, format, args...);
  if (count >= capacity) Fail("count not below the capacity");
  if (area[count] != 0) Fail("text not terminated after the count");
  for (DWORD i = count + 1; i < capacity + GuardLength; ++i) {
    if (area[i] != Canary) Fail("written past the terminator");
  }
  memcpy(result->chars, area, count * sizeof(WCHAR));
  result->length = count;
}

void CheckAnyFormat(const uint8_t* data, size_t size, DWORD capacity, size_t offset) {
  // Each byte is one character; 0xFF takes the next two bytes as a full UTF-16 unit.
  static Text format;
  format.length = 0;
  unsigned percents = 0;
  for (size_t i = 0; i < size && format.length < MaxFormat; ++i) {
    WCHAR ch = data[i];
    if (data[i] == 0xFF && i + 2 < size) {
      ch = static_cast<WCHAR>(data[i + 1] | (data[i + 2] << 8));
      i += 2;
    }
    if (ch == 0) break;
    if (ch == '%' && ++percents > MaxPercents) break;
    Append(&format, ch);
  }

  unsigned char* slot = Arena + offset;
  memset(slot, 0, 64);
  slot[0] = 'a';
  slot[2] = 'b';
  slot[4] = 0xE9;
  void* argument = slot;
  static Text result;
  FormatChecked(&result, ExactCopy(format).get(), capacity, ARGS64(argument));
}

const size_t MaxArgumentText = 48;

// One conversion specification and its arguments.
struct Conversion {
  char flags[5];
  int widthForm;      // 0 none, 1 digits, 2 '*'
  int precisionForm;  // 0 none, 1 digits, 2 '*'
  const char* modifier;
  char conversion;
  uint64_t value;  // integer and character arguments
  bool nullText;   // 's' and 'S'
  char16_t wide[MaxArgumentText + 1];  // the 's' argument
  char narrow[MaxArgumentText + 1];    // the 'S' argument
  int stars;
  int starValues[2];
};

const char* const Modifiers[] = {"", "h", "l", "ll", "I32", "I64", "I", "z"};
const char Conversions[] = "bydiuoxXpPcCsS";

bool IsInteger(char c) { return c != 'c' && c != 'C' && c != 's' && c != 'S'; }

// How the engine reads the argument of an integer conversion: 2, 4 or 8 bytes.
int ArgumentBytes(const Conversion& c) {
  const char* m = c.modifier;
  if (c.conversion == 'p' || c.conversion == 'P' || !strcmp(m, "ll") || !strcmp(m, "I64") || !strcmp(m, "I") ||
      !strcmp(m, "z")) {
    return 8;
  }
  return strcmp(m, "h") == 0 ? 2 : 4;
}

// The model: the conversion rules written out plainly, one step after another.
void Model(Text* out, const Conversion& c, DWORD width, DWORD precision) {
  char16_t fill = 0;  // none chosen
  for (const char* f = c.flags; *f; ++f) {
    if (*f == '0' || *f == ' ') fill = static_cast<char16_t>(*f);
  }
  bool left = strchr(c.flags, '-') != nullptr, plus = strchr(c.flags, '+') != nullptr;
  bool hash = strchr(c.flags, '#') != nullptr;
  static Text body, leadIn;
  body.length = leadIn.length = 0;
  if (IsInteger(c.conversion)) {
    if ((c.conversion == 'p' || c.conversion == 'P') && plus && width > 1 && precision == 0) {
      precision = width - 1;
      if (fill == 0) fill = '0';
    }
    bool isSigned = c.conversion == 'd' || c.conversion == 'i';
    int bytes = ArgumentBytes(c);
    int64_t signedValue = bytes == 8 ? static_cast<int64_t>(c.value)
                          : bytes == 4 ? static_cast<int32_t>(c.value)
                                       : static_cast<int16_t>(c.value);
    uint64_t unsignedValue = bytes == 8 ? c.value : bytes == 4 ? static_cast<uint32_t>(c.value) : static_cast<uint16_t>(c.value);
    bool negative = isSigned && signedValue < 0;
    uint64_t magnitude = !isSigned ? unsignedValue : negative ? 0 - static_cast<uint64_t>(signedValue) : signedValue;
    unsigned radix = strchr("by", c.conversion) ? 2 : c.conversion == 'o' ? 8 : strchr("diu", c.conversion) ? 10 : 16;
    const char* set = (c.conversion == 'X' || c.conversion == 'P') ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t digits[64];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char16_t>(set[magnitude % radix]);
      magnitude /= radix;
    } while (magnitude != 0);
    size_t keep = precision != 0 && count > precision ? precision : count;
    for (size_t i = keep; i > 0; --i) Append(&body, digits[i - 1]);
    if (plus || negative) Append(&leadIn, negative ? u'-' : u'+');
    if (hash) {
      Append(&leadIn, u'0');
      if (radix == 2) Append(&leadIn, static_cast<char16_t>(c.conversion));
      if (radix == 10) Append(&leadIn, u'n');
      if (radix == 16) Append(&leadIn, u'x');
    }
  } else {
    if (c.conversion == 'c') Append(&body, static_cast<char16_t>(c.value & 0xFFFF));
    if (c.conversion == 'C') Append(&body, static_cast<char16_t>(c.value & 0xFF));
    if (c.conversion == 's' && c.nullText) AppendAscii(&body, "(null)");
    if (c.conversion == 's' && !c.nullText) {
      for (const char16_t* p = c.wide; *p; ++p) Append(&body, *p);
    }
    if (c.conversion == 'S') {
      const char* text = c.nullText ? "(null)" : c.narrow;
      for (const char* p = text; *p; ++p) Append(&body, static_cast<char16_t>(static_cast<unsigned char>(*p)));
    }
    if ((c.conversion == 's' || c.conversion == 'S') && precision != 0 && body.length > precision) body.length = precision;
    if (plus) Append(&leadIn, u'+');
  }
  if (body.length == 0) return;

  uint64_t used = body.length + leadIn.length;
  uint64_t pad = width > used ? width - used : 0;
  if (fill != 0) AppendText(out, leadIn);
  if (!left) Append(out, fill != 0 ? fill : u' ', pad);
  if (fill == 0) AppendText(out, leadIn);
  AppendText(out, body);
  if (left) Append(out, u' ', pad);
}

// Literal text around the conversion: printable ASCII without '%'.
void Literal(Reader* r, char* text) {
  size_t length = Byte(r) % 16;
  for (size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(0x20 + Byte(r) % 95);
    if (text[i] == '%') text[i] = '#';
  }
  text[length] = 0;
}

template <typename T>
void CallEngine(Text* result, const WCHAR* format, DWORD capacity, const Conversion& c, T value) {
  if (c.stars == 0) return FormatChecked(result, format, capacity, value);
  if (c.stars == 1) return FormatChecked(result, format, capacity, c.starValues[0], value);
  return FormatChecked(result, format, capacity, c.starValues[0], c.starValues[1], value);
}

template <typename T>
int CallSwprintf(wchar_t* out, const wchar_t* format, const Conversion& c, T value) {
  if (c.stars == 0) return swprintf(out, OracleCapacity, format, value);
  if (c.stars == 1) return swprintf(out, OracleCapacity, format, c.starValues[0], value);
  return swprintf(out, OracleCapacity, format, c.starValues[0], c.starValues[1], value);
}

bool IsPlainCharacter(uint64_t ch) { return ch != 0 && (ch < 0xD800 || ch > 0xDFFF); }

// Whether swprintf gives this conversion the same text: flags '-' and '0' only ('0' not
// for characters and strings), a width that fits the oracle's buffer, no precision except
// on a non-empty string (where C's precision 0 would mean nothing at all), integer lengths
// that C shares ('l' is 64 bits in C here), and characters that are not the terminator or
// a surrogate.
bool SharedWithSwprintf(const Conversion& c, DWORD width, DWORD precision) {
  if (!strchr("diuxXocs", c.conversion)) return false;
  for (const char* f = c.flags; *f; ++f) {
    if (*f != '-' && *f != '0') return false;
    if (*f == '0' && !IsInteger(c.conversion)) return false;
  }
  if (width >= 1000) return false;  // also any negative '*' width: C would left-justify
  if (c.conversion == 's') {
    if (c.nullText || c.wide[0] == 0) return false;
    if (c.precisionForm != 0 && (precision == 0 || static_cast<int>(precision) < 0)) return false;
    for (const char16_t* p = c.wide; *p; ++p) {
      if (!IsPlainCharacter(*p)) return false;
    }
    return true;
  }
  if (c.precisionForm != 0) return false;
  if (c.conversion == 'c') return IsPlainCharacter(c.value & 0xFFFF);
  const char* m = c.modifier;
  return !strcmp(m, "") || !strcmp(m, "h") || !strcmp(m, "ll") || !strcmp(m, "z");
}

int StarValue(Reader* r) {
  return Byte(r) & 1 ? static_cast<int>(Bytes(r, 4)) : static_cast<int>(Bytes(r, 2) % 1000);
}

// Builds one conversion from the input and checks the engine against the model and, where
// they share it, against swprintf; then checks the cut at a smaller capacity.
void CheckOneConversion(Reader* r) {
  static Conversion c;
  c = Conversion();
  size_t flagCount = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t k = Byte(r) % 6;
    if (k < 5) c.flags[flagCount++] = "-+#0 "[k];
  }
  c.widthForm = Byte(r) % 3;
  c.precisionForm = Byte(r) % 3;
  c.modifier = Modifiers[Byte(r) % 8];
  c.conversion = Conversions[Byte(r) % 14];
  c.value = Bytes(r, 8);
  c.nullText = Byte(r) % 8 == 0;
  size_t textLength = Byte(r) % MaxArgumentText;
  for (size_t i = 0; i < textLength; ++i) {
    uint8_t b = Byte(r);
    c.wide[i] = static_cast<char16_t>(b < 0x80 ? (b ? b : 'z') : 0x4E00 + b);
    c.narrow[i] = static_cast<char>(b ? b : 'z');
  }
  DWORD width = 0, precision = 0;
  char widthText[16] = "", precisionText[16] = "";
  if (c.widthForm == 1) {
    width = 1 + Bytes(r, 2) % 999;
    snprintf(widthText, sizeof widthText, "%u", width);
  } else if (c.widthForm == 2) {
    c.starValues[c.stars++] = StarValue(r);
    width = static_cast<DWORD>(c.starValues[c.stars - 1]);
    strcpy(widthText, "*");
  }
  if (c.precisionForm == 1) {
    precision = Bytes(r, 2) % 1000;
    snprintf(precisionText, sizeof precisionText, ".%u", precision);
  } else if (c.precisionForm == 2) {
    c.starValues[c.stars++] = StarValue(r);
    precision = static_cast<DWORD>(c.starValues[c.stars - 1]);
    strcpy(precisionText, ".*");
  }
  char prefix[16], suffix[16];
  Literal(r, prefix);
  Literal(r, suffix);
  DWORD capacity = 1 + Bytes(r, 2) % MaxCapacity;

  // The engine's format and the C library's: the same but for C's 'l' before a wide
  // character or string.
  char format[96], cFormat[96];
  snprintf(format, sizeof format, "%s%%%s%s%s%s%c%s", prefix, c.flags, widthText, precisionText, c.modifier,
           c.conversion, suffix);
  snprintf(cFormat, sizeof cFormat, "%s%%%s%s%s%s%c%s", prefix, c.flags, widthText, precisionText,
           IsInteger(c.conversion) ? c.modifier : "l", c.conversion, suffix);
  static Text ours, expected, whole, cut;
  ours.length = expected.length = 0;
  AppendAscii(&ours, format);
  std::unique_ptr<WCHAR[]> exact = ExactCopy(ours);
  AppendAscii(&expected, prefix);
  Model(&expected, c, width, precision);
  AppendAscii(&expected, suffix);
  // Room for one character more than the model's text, so that a longer text shows.
  DWORD wholeCapacity = static_cast<DWORD>(expected.length + 2 < OracleCapacity ? expected.length + 2 : OracleCapacity);

  bool shared = SharedWithSwprintf(c, width, precision);
  wchar_t cWideFormat[96];
  for (size_t i = 0;; ++i) {
    cWideFormat[i] = static_cast<unsigned char>(cFormat[i]);
    if (cFormat[i] == 0) break;
  }
  static wchar_t cText[OracleCapacity];
  int cCount = -1;

  if (c.conversion == 's') {
    const WCHAR* argument = c.nullText ? nullptr : c.wide;
    CallEngine(&whole, exact.get(), wholeCapacity, c, argument);
    CallEngine(&cut, exact.get(), capacity, c, argument);
    wchar_t cArgument[MaxArgumentText + 1];
    for (size_t i = 0; i <= MaxArgumentText; ++i) cArgument[i] = c.wide[i];
    if (shared) cCount = CallSwprintf(cText, cWideFormat, c, cArgument);
  } else if (c.conversion == 'S') {
    const char* argument = c.nullText ? nullptr : c.narrow;
    CallEngine(&whole, exact.get(), wholeCapacity, c, argument);
    CallEngine(&cut, exact.get(), capacity, c, argument);
  } else if (!IsInteger(c.conversion) || ArgumentBytes(c) < 8) {
    int value = static_cast<int>(c.value);
    CallEngine(&whole, exact.get(), wholeCapacity, c, value);
    CallEngine(&cut, exact.get(), capacity, c, value);
    if (shared && c.conversion == 'c') cCount = CallSwprintf(cText, cWideFormat, c, static_cast<wint_t>(c.value & 0xFFFF));
    if (shared && c.conversion != 'c') cCount = CallSwprintf(cText, cWideFormat, c, value);
  } else if (!strcmp(c.modifier, "ll") || !strcmp(c.modifier, "I64")) {
    unsigned long long value = c.value;
    CallEngine(&whole, exact.get(), wholeCapacity, c, value);
    CallEngine(&cut, exact.get(), capacity, c, value);
    if (shared) cCount = CallSwprintf(cText, cWideFormat, c, value);
  } else {  // size-typed and pointer-sized
    size_t value = static_cast<size_t>(c.value);
    CallEngine(&whole, exact.get(), wholeCapacity, c, value);
    CallEngine(&cut, exact.get(), capacity, c, value);
    if (shared) cCount = CallSwprintf(cText, cWideFormat, c, value);
  }

  if (!SameText(whole, expected)) Fail("text differs from the model");
  size_t cutLength = whole.length < capacity - 1 ? whole.length : capacity - 1;
  if (cut.length != cutLength || memcmp(cut.chars, whole.chars, cutLength * sizeof(char16_t)) != 0) {
    Fail("cut text is not the start of the whole text");
  }
  if (shared) {
    if (cCount < 0 || static_cast<size_t>(cCount) != whole.length) Fail("length differs from swprintf");
    for (int i = 0; i < cCount; ++i) {
      if (static_cast<uint32_t>(cText[i]) != whole.chars[i]) Fail("text differs from swprintf");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  DWORD capacity = 1 + ((data[0] | (data[1] << 8)) % MaxCapacity);
  size_t offset = (static_cast<size_t>(data[2]) << 8 | data[3]) & ~static_cast<size_t>(3);
  CheckDigits(data, size);
  Reader reader = {data + 4, size - 4};
  CheckOneConversion(&reader);
  CheckAnyFormat(data + 4, size - 4, capacity, offset);
  return 0;
}
