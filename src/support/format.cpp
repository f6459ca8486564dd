// The formatted-text engine. One pass over the format, left to right; every write goes
// through the `remaining` count, so the text is cut wherever the buffer ends, also in the
// middle of a field. No heap, no state, no system calls except the debug-only checks.
// Literal text and strings are copied four characters at a time; digits come from shifts
// (radixes 2, 8 and 16) or, in radix 10, from multiplications by reciprocals.
#include "support/format.h"

namespace {

const DWORD DigitAreaCapacity = 70;  // 64 base-2 digits and the terminator, with room to spare
const DWORD LeadInCapacity = 8;      // sign and radix prefix: 3 at most in practice

// How the argument of an integer conversion is read, and how wide its digits are.
enum ArgumentClass {
  ShortArgument,    // 'h': an int taken as 16 bits
  Int32Argument,    // none, 'l', "I32"
  Int64Argument,    // "ll", "I64"
  SizeArgument,     // 'z'
  PointerArgument,  // 'I' alone, and every 'p' or 'P'
};

// An integer conversion: its character, its radix, the letter of its radix prefix after
// the '0' (none for octal), and whether it is signed and writes upper-case letters.
enum IntegerKind : BYTE { UnsignedLower, SignedLower, UnsignedUpper };

struct IntegerConversion {
  char conversion;
  BYTE radix;
  char prefixLetter;
  IntegerKind kind;
};

// The ones the program's messages use come first.
const IntegerConversion IntegerConversions[] = {
    {'u', 10, 'n', UnsignedLower}, {'d', 10, 'n', SignedLower},   {'X', 16, 'x', UnsignedUpper},
    {'x', 16, 'x', UnsignedLower}, {'i', 10, 'n', SignedLower},   {'o', 8, 0, UnsignedLower},
    {'b', 2, 'b', UnsignedLower},  {'y', 2, 'y', UnsignedLower},  {'p', 16, 'x', UnsignedLower},
    {'P', 16, 'x', UnsignedUpper},
};

// A null string argument stands for this text, for wide and narrow strings alike.
const CHAR NullText[] = "(null)";

struct Specification {
  bool leftJustify;
  bool showSign;
  bool radixPrefix;
  WCHAR fill;  // 0 when no fill character was chosen
  DWORD width;
  DWORD precision;  // 0: no precision
  ArgumentClass argumentClass;
  WCHAR conversion;
  const IntegerConversion* integer;  // null for the character and string conversions
};

const IntegerConversion* FindIntegerConversion(WCHAR ch) {
  for (const IntegerConversion& entry : IntegerConversions) {
    if (entry.conversion == ch) return &entry;
  }
  return nullptr;
}

bool IsDecimalDigit(WCHAR ch) { return ch >= '0' && ch <= '9'; }

// A va_list parameter is a pointer on the x86 ABIs (and may then be null), a record on
// others (and then never null).
template <typename T>
bool IsNullArgumentList(T* list) {
  return list == nullptr;
}
template <typename T>
bool IsNullArgumentList(const T&) {
  return false;
}

WCHAR DigitCharacter(DWORD digit, DWORD letterBase) {
  return static_cast<WCHAR>(digit < 10 ? '0' + digit : letterBase + digit);
}

// Writes the digits of `value` backwards, the last one just before `end`, and returns the
// position of the first. `letterBase` + 10 is the digit for ten ('a' or 'A'). Radixes that
// are powers of two take a mask and a shift per digit; ten takes multiplications by
// reciprocals once the value fits in 32 bits (a size-optimising compiler would divide).
// Only the digits of larger decimal values and the radixes that the engine never uses
// are divided out.
WCHAR* WriteDigitsBackwards(WCHAR* end, uint64_t value, DWORD radix, DWORD letterBase) {
  if ((radix & (radix - 1)) == 0) {
    DWORD shift = static_cast<DWORD>(__builtin_ctz(radix));
    do {
      *--end = DigitCharacter(static_cast<DWORD>(value) & (radix - 1), letterBase);
      value >>= shift;
    } while (value != 0);
    return end;
  }
  while (radix != 10 || value > 0xFFFFFFFF) {
    *--end = DigitCharacter(static_cast<DWORD>(value % radix), letterBase);
    value /= radix;
    if (value == 0) return end;
  }
  // Two digits a step: floor(rest / 100) = (rest * 0x51EB851F) >> 37 for every 32-bit
  // rest, and floor(pair / 10) = (pair * 103) >> 10 for every pair below 100.
  uint32_t rest = static_cast<uint32_t>(value);
  while (rest >= 100) {
    uint32_t quotient = static_cast<uint32_t>((static_cast<uint64_t>(rest) * 0x51EB851Fu) >> 37);
    uint32_t pair = rest - quotient * 100;
    uint32_t tens = (pair * 103) >> 10;
    *--end = static_cast<WCHAR>('0' + (pair - tens * 10));
    *--end = static_cast<WCHAR>('0' + tens);
    rest = quotient;
  }
  if (rest >= 10) {
    uint32_t tens = (rest * 103) >> 10;
    *--end = static_cast<WCHAR>('0' + (rest - tens * 10));
    rest = tens;
  }
  *--end = static_cast<WCHAR>('0' + rest);
  return end;
}

// The output cursor of one conversion or of the main loop.
struct Output {
  LPWSTR position;
  DWORD remaining;
};

// Copies four wide characters as one 64-bit unit.
void CopyGroup(LPWSTR target, const WCHAR* text) {
  uint64_t group;
  __builtin_memcpy(&group, text, sizeof group);
  __builtin_memcpy(target, &group, sizeof group);
}

// Writes as much of `text` (wide or narrow characters, each widened by its value) as the
// room allows. Wide text goes four characters at a time.
template <typename Character>
void WriteText(Output* out, const Character* text, uint64_t length) {
  DWORD n = length < out->remaining ? static_cast<DWORD>(length) : out->remaining;
  LPWSTR target = out->position;
  out->position = target + n;
  out->remaining -= n;
  if constexpr (sizeof(Character) == sizeof(WCHAR)) {
    if (n >= 4) {
      // Groups of four; the last group ends at the end of the text and may overlap the
      // one before it, which writes the same characters again.
      DWORD last = n - 4;
      for (DWORD i = 0; i < last; i += 4) CopyGroup(target + i, text + i);
      CopyGroup(target + last, text + last);
      return;
    }
  }
  for (DWORD i = 0; i < n; ++i) target[i] = static_cast<WCHAR>(text[i]);
}

void WriteFill(Output* out, WCHAR ch, uint64_t count) {
  DWORD n = count < out->remaining ? static_cast<DWORD>(count) : out->remaining;
  for (DWORD i = 0; i < n; ++i) out->position[i] = ch;
  out->position += n;
  out->remaining -= n;
}

// The length of a string, at most `precision` characters when one is given: the string is
// not read beyond that. Wide strings without a precision are scanned four characters a
// step, each read only when the one before it was not the terminator. (Narrow strings keep
// the bounded loop, which a compiler cannot turn into a call of the C library's strlen.)
template <typename Character>
uint64_t StringLength(const Character* text, DWORD precision) {
  uint64_t length = 0;
  if (sizeof(Character) == sizeof(WCHAR) && precision == 0) {
    while (text[length] != 0 && text[length + 1] != 0 && text[length + 2] != 0 && text[length + 3] != 0) length += 4;
    while (text[length] != 0) ++length;
    return length;
  }
  uint64_t limit = precision != 0 ? precision : ~static_cast<uint64_t>(0);
  while (length < limit && text[length] != 0) ++length;
  return length;
}

bool IsLiteral(WCHAR ch) { return ch != 0 && ch != '%'; }

// Copies the literal run at `f`, up to the next '%' or the terminator, as far as the room
// allows, and returns the position after what was copied. Four characters a step while
// they fit, each read only when the one before it was not the end of the run.
LPCWSTR CopyLiteral(Output* out, LPCWSTR f) {
  LPWSTR target = out->position;
  DWORD room = out->remaining;
  while (room >= 4 && IsLiteral(f[0]) && IsLiteral(f[1]) && IsLiteral(f[2]) && IsLiteral(f[3])) {
    CopyGroup(target, f);
    target += 4;
    f += 4;
    room -= 4;
  }
  while (room > 0 && IsLiteral(*f)) {
    *target++ = *f++;
    --room;
  }
  out->position = target;
  out->remaining = room;
  return f;
}

// Helpers take the list by address: a va_list handed on by value would not move on in
// the caller on the ABIs where it is a plain pointer.

// Reads the argument of an integer conversion, widened to 64 bits as its class says.
uint64_t ReadInteger(va_list* arguments, ArgumentClass argumentClass, bool isSigned) {
  if (argumentClass == Int64Argument) return va_arg(*arguments, unsigned long long);
  if (argumentClass == SizeArgument || argumentClass == PointerArgument) {
    // Size-typed and pointer-sized arguments are read at their real size, so that a
    // 32-bit build does not take two argument slots for one; signed ones widen with
    // their sign.
    uintptr_t value = va_arg(*arguments, uintptr_t);
    return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<intptr_t>(value))) : value;
  }
  int value = va_arg(*arguments, int);
  // The signed conversions widen a 16-bit value with its sign; the unsigned ones print
  // the 16-bit value itself. Only the low 32 bits of a 32-bit class are converted.
  if (argumentClass == ShortArgument && !isSigned) return static_cast<uint16_t>(value);
  if (argumentClass == ShortArgument) value = static_cast<int16_t>(value);
  return static_cast<uint64_t>(static_cast<int64_t>(value));
}

// The argument of a '*' width or precision, taken as unsigned. Without a list (a caller
// error, reported by the caller) nothing is read.
DWORD ReadStar(va_list* arguments, DWORD* reads) {
  if (!arguments) return 0;
  ++*reads;
  return static_cast<DWORD>(va_arg(*arguments, int));
}

// Flags, width, precision, length modifier and conversion character, reading the '*'
// arguments from `arguments`. Returns the position after the conversion character, or
// null when the conversion is not valid.
LPCWSTR ParseSpecification(LPCWSTR f, va_list* arguments, Specification* spec, DWORD* reads) {
  for (;; ++f) {
    if (*f == '-') {
      spec->leftJustify = true;
    } else if (*f == '+') {
      spec->showSign = true;
    } else if (*f == '#') {
      spec->radixPrefix = true;
    } else if (*f == '0' || *f == ' ') {
      spec->fill = *f;  // the last of the two decides
    } else {
      break;
    }
  }

  if (*f == '*') {
    spec->width = ReadStar(arguments, reads);
    ++f;
  } else {
    while (IsDecimalDigit(*f)) spec->width = spec->width * 10 + static_cast<DWORD>(*f++ - '0');
  }

  if (*f == '.') {
    ++f;
    if (*f == '*') {
      spec->precision = ReadStar(arguments, reads);
      ++f;
    } else if (!IsDecimalDigit(*f)) {
      return nullptr;
    }
    while (IsDecimalDigit(*f)) spec->precision = spec->precision * 10 + static_cast<DWORD>(*f++ - '0');
  }

  spec->argumentClass = Int32Argument;
  switch (*f) {
    case 'I':
      if (f[1] == '3' && f[2] == '2') {
        f += 3;
      } else if (f[1] == '6' && f[2] == '4') {
        spec->argumentClass = Int64Argument;
        f += 3;
      } else {
        spec->argumentClass = PointerArgument;
        f += 1;
      }
      break;
    case 'l':
      if (f[1] == 'l') {
        spec->argumentClass = Int64Argument;
        f += 2;
      } else {
        f += 1;
      }
      break;
    case 'h':
      spec->argumentClass = ShortArgument;
      f += 1;
      break;
    case 'z':
      spec->argumentClass = SizeArgument;
      f += 1;
      break;
    default:
      break;
  }

  WCHAR ch = *f;
  spec->conversion = ch;
  if (ch != 's' && ch != 'S' && ch != 'c' && ch != 'C') {
    spec->integer = FindIntegerConversion(ch);
    if (!spec->integer) return nullptr;
  }
  return f + 1;
}

}  // namespace

void DebugCheck(bool failed) {
  if (failed && IsDebuggerPresent()) DebugBreak();
}

DWORD ToDigits64(LPWSTR buffer, DWORD capacity, uint64_t value, DWORD radix) {
  if (!buffer || capacity == 0 || radix < 2 || radix > 36) {
    DebugCheck(true);
    if (buffer && capacity > 0) buffer[0] = 0;
    return 0;
  }
  WCHAR area[DigitAreaCapacity];
  WCHAR* end = area + DigitAreaCapacity;
  const WCHAR* start = WriteDigitsBackwards(end, value, radix, 'a' - 10);
  Output out = {buffer, capacity - 1};
  WriteText(&out, start, static_cast<uint64_t>(end - start));  // the most significant digits
  *out.position = 0;
  return static_cast<DWORD>(out.position - buffer);
}

DWORD ToDigits32(LPWSTR buffer, DWORD capacity, uint32_t value, DWORD radix) {
  return ToDigits64(buffer, capacity, value, radix);
}

bool FormatConversion(LPWSTR* output, DWORD* remaining, LPCWSTR* format, va_list* arguments) {
  if (!output || !*output || !remaining || !format || !*format) {
    DebugCheck(true);
    return false;
  }

  // Arguments are read from a copy that replaces the caller's list only on success, so a
  // failed conversion consumes nothing.
  va_list work;
  if (arguments) va_copy(work, *arguments);
  DWORD reads = 0;
  Specification spec = {};
  LPCWSTR next = ParseSpecification(*format, arguments ? &work : nullptr, &spec, &reads);
  if (!next || !arguments) {
    if (arguments) va_end(work);
    DebugCheck(next && !arguments);  // a valid conversion with no list to read from
    return false;
  }

  WCHAR digits[DigitAreaCapacity];
  WCHAR leadIn[LeadInCapacity];
  DWORD leadInLength = 0;
  const WCHAR* wideBody = nullptr;
  const CHAR* narrowBody = nullptr;
  uint64_t bodyLength = 0;
  WCHAR character = 0;
  bool negative = false;

  const IntegerConversion* integer = spec.integer;
  ++reads;  // every conversion reads its value
  if (integer) {
    if (spec.conversion == 'p' || spec.conversion == 'P') {
      spec.argumentClass = PointerArgument;
      if (spec.showSign && spec.width > 1 && spec.precision == 0) {
        spec.precision = spec.width - 1;
        if (spec.fill == 0) spec.fill = '0';
      }
    }
    bool isSigned = integer->kind == SignedLower;
    uint64_t value = ReadInteger(&work, spec.argumentClass, isSigned);
    if (isSigned && static_cast<int64_t>(value) < 0) {
      negative = true;
      value = 0 - value;  // modulo 2^64, so the most negative values convert too
    }
    // Classes of 32 bits or less convert the low 32 bits only.
    if (spec.argumentClass == ShortArgument || spec.argumentClass == Int32Argument) value = static_cast<uint32_t>(value);
    WCHAR* end = digits + DigitAreaCapacity;
    wideBody = WriteDigitsBackwards(end, value, integer->radix, integer->kind == UnsignedUpper ? 'A' - 10 : 'a' - 10);
    bodyLength = static_cast<uint64_t>(end - wideBody);
    if (spec.precision != 0 && bodyLength > spec.precision) {  // keep the last `precision` digits
      wideBody = end - spec.precision;
      bodyLength = spec.precision;
    }
  } else if (spec.conversion == 'c' || spec.conversion == 'C') {
    // A narrow character is its low byte, widened like every narrow character.
    character = static_cast<WCHAR>(va_arg(work, int) & (spec.conversion == 'C' ? 0xFF : 0xFFFF));
    wideBody = &character;
    bodyLength = 1;
  } else {  // 's' or 'S'
    const void* text = va_arg(work, const void*);
    if (text && spec.conversion == 's') {
      wideBody = static_cast<const WCHAR*>(text);
      bodyLength = StringLength(wideBody, spec.precision);
    } else {
      narrowBody = text ? static_cast<const CHAR*>(text) : NullText;
      bodyLength = StringLength(narrowBody, spec.precision);
    }
  }

  if (spec.showSign || negative) leadIn[leadInLength++] = negative ? '-' : '+';
  if (spec.radixPrefix && integer) {
    leadIn[leadInLength++] = '0';
    if (integer->prefixLetter) leadIn[leadInLength++] = integer->prefixLetter;
  }
  DebugCheck(leadInLength > LeadInCapacity);

  Output out = {*output, *remaining};
  if (bodyLength > 0) {  // an empty string writes nothing at all, whatever the width
    uint64_t used = bodyLength + leadInLength;
    uint64_t pad = spec.width > used ? spec.width - used : 0;
    if (spec.fill != 0 && leadInLength != 0) WriteText(&out, leadIn, leadInLength);
    if (!spec.leftJustify && pad != 0) WriteFill(&out, spec.fill != 0 ? spec.fill : ' ', pad);
    if (spec.fill == 0 && leadInLength != 0) WriteText(&out, leadIn, leadInLength);
    if (narrowBody) {
      WriteText(&out, reinterpret_cast<const BYTE*>(narrowBody), bodyLength);
    } else {
      WriteText(&out, wideBody, bodyLength);
    }
    if (spec.leftJustify && pad != 0) WriteFill(&out, ' ', pad);
  }

  DebugCheck(next <= *format || reads == 0);
  *output = out.position;
  *remaining = out.remaining;
  *format = next;
  va_end(*arguments);
  va_copy(*arguments, work);
  va_end(work);
  return true;
}

DWORD FormatTextV(LPWSTR buffer, DWORD capacity, LPCWSTR format, va_list arguments) {
  if (!buffer || capacity == 0) {
    DebugCheck(true);
    return 0;
  }
  if (!format) {
    DebugCheck(true);
    buffer[0] = 0;
    return 0;
  }

  // A local copy, so that the conversions can move it on through a pointer.
  bool haveList = !IsNullArgumentList(arguments);
  va_list list;
  if (haveList) va_copy(list, arguments);
  va_list* listPointer = haveList ? &list : nullptr;

  Output out = {buffer, capacity - 1};
  LPCWSTR f = format;
  for (;;) {
    f = CopyLiteral(&out, f);
    if (out.remaining == 0 || *f == 0) break;

    WCHAR ch = *++f;  // the character after the '%'
    if (ch == 'n') {
      ++f;
      DebugCheck(!listPointer);
      if (listPointer) {
        int* target = va_arg(list, int*);
        DebugCheck(!target);
        if (target) *target = static_cast<int>(out.position - buffer);
      }
      continue;
    }
    if (ch == 's' && listPointer) {
      // A plain "%s", the conversion of most messages, without the general parser: no
      // flags, width or precision, so the string is the whole field.
      ++f;
      LPCWSTR text = va_arg(list, LPCWSTR);
      if (text) {
        WriteText(&out, text, StringLength(text, 0));
      } else {
        WriteText(&out, reinterpret_cast<const BYTE*>(NullText), sizeof NullText - 1);
      }
      continue;
    }
    if (ch == '%') {
      ++f;  // "%%" writes one '%'
    } else if (ch != 0 && FormatConversion(&out.position, &out.remaining, &f, listPointer)) {
      continue;
    }
    // "%%", a lone '%' at the end, or not a valid specification: then the '%' is written
    // and the rest of it is copied as text.
    *out.position++ = '%';
    --out.remaining;
  }
  if (haveList) va_end(list);

  DebugCheck(out.position >= buffer + capacity);
  *out.position = 0;
  return static_cast<DWORD>(out.position - buffer);
}

DWORD FormatText(LPWSTR buffer, DWORD capacity, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  DWORD count = FormatTextV(buffer, capacity, format, arguments);
  va_end(arguments);
  return count;
}

LPWSTR FormatShortText(LPWSTR buffer, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(buffer, SHORT_TEXT_CAPACITY, format, arguments);
  va_end(arguments);
  return buffer;
}
