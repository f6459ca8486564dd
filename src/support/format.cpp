// The formatted-text engine. One pass over the format, left to right; every write goes
// through the `remaining` count, so the text is cut wherever the buffer ends, also in the
// middle of a field. No heap, no state, no system calls except the debug-only checks.
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

struct Specification {
  bool leftJustify;
  bool showSign;
  bool radixPrefix;
  WCHAR fill;  // 0 when no fill character was chosen
  DWORD width;
  DWORD precision;  // 0: no precision
  ArgumentClass argumentClass;
  WCHAR conversion;
};

struct IntegerConversion {
  WCHAR conversion;
  DWORD radix;
  const WCHAR* prefix;
  bool isSigned;
  bool upperCase;
};

const WCHAR Prefix2b[] = TEXT("0b");
const WCHAR Prefix2y[] = TEXT("0y");
const WCHAR Prefix8[] = TEXT("0");
const WCHAR Prefix10[] = TEXT("0n");
const WCHAR Prefix16[] = TEXT("0x");

const IntegerConversion IntegerConversions[] = {
    {'b', 2, Prefix2b, false, false},   {'y', 2, Prefix2y, false, false},
    {'o', 8, Prefix8, false, false},    {'d', 10, Prefix10, true, false},
    {'i', 10, Prefix10, true, false},   {'u', 10, Prefix10, false, false},
    {'x', 16, Prefix16, false, false},  {'X', 16, Prefix16, false, true},
    {'p', 16, Prefix16, false, false},  {'P', 16, Prefix16, false, true},
};

const WCHAR NullWideText[] = TEXT("(null)");
const CHAR NullNarrowText[] = "(null)";

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

template <typename T>
DWORD ConvertToDigits(LPWSTR buffer, DWORD capacity, T value, DWORD radix) {
  if (!buffer || capacity == 0 || radix < 2 || radix > 36) {
    DebugCheck(true);
    if (buffer && capacity > 0) buffer[0] = 0;
    return 0;
  }
  WCHAR area[DigitAreaCapacity];
  DWORD start = DigitAreaCapacity;
  do {
    DWORD digit = static_cast<DWORD>(value % radix);
    value /= radix;
    area[--start] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'a' + digit - 10);
  } while (value != 0);
  DWORD count = DigitAreaCapacity - start;
  if (count > capacity - 1) count = capacity - 1;  // keep the most significant digits
  for (DWORD i = 0; i < count; ++i) buffer[i] = area[start + i];
  buffer[count] = 0;
  return count;
}

// The output cursor of one conversion or of the main loop.
struct Output {
  LPWSTR position;
  DWORD remaining;
};

void WriteWide(Output* out, const WCHAR* text, uint64_t length) {
  uint64_t n = length < out->remaining ? length : out->remaining;
  for (uint64_t i = 0; i < n; ++i) out->position[i] = text[i];
  out->position += n;
  out->remaining -= static_cast<DWORD>(n);
}

void WriteNarrow(Output* out, const CHAR* text, uint64_t length) {
  uint64_t n = length < out->remaining ? length : out->remaining;
  for (uint64_t i = 0; i < n; ++i) out->position[i] = static_cast<WCHAR>(static_cast<BYTE>(text[i]));
  out->position += n;
  out->remaining -= static_cast<DWORD>(n);
}

void WriteFill(Output* out, WCHAR ch, uint64_t count) {
  uint64_t n = count < out->remaining ? count : out->remaining;
  for (uint64_t i = 0; i < n; ++i) out->position[i] = ch;
  out->position += n;
  out->remaining -= static_cast<DWORD>(n);
}

// Helpers take the list by address: a va_list handed on by value would not move on in
// the caller on the ABIs where it is a plain pointer.

// Reads the argument of an integer conversion, widened to 64 bits as its class says.
uint64_t ReadInteger(va_list* arguments, ArgumentClass argumentClass, bool isSigned) {
  switch (argumentClass) {
    case ShortArgument: {
      int value = va_arg(*arguments, int);
      // The signed conversions widen the 16-bit value with its sign; the unsigned ones
      // print the 16-bit value itself.
      if (isSigned) return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(value)));
      return static_cast<uint16_t>(value);
    }
    case Int32Argument:
      return static_cast<uint64_t>(static_cast<int64_t>(va_arg(*arguments, int)));
    case Int64Argument:
      return static_cast<uint64_t>(va_arg(*arguments, long long));
    case SizeArgument:
      // Size-typed and pointer-sized arguments are read at their real size, so that a
      // 32-bit build does not take two argument slots for one; signed ones widen with
      // their sign.
      if (isSigned) return static_cast<uint64_t>(static_cast<int64_t>(va_arg(*arguments, ptrdiff_t)));
      return va_arg(*arguments, size_t);
    case PointerArgument:
      if (isSigned) return static_cast<uint64_t>(static_cast<int64_t>(va_arg(*arguments, intptr_t)));
      return va_arg(*arguments, uintptr_t);
  }
  return 0;
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
// null when the specification is not valid.
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
  if (ch != 'c' && ch != 'C' && ch != 's' && ch != 'S' && !FindIntegerConversion(ch)) return nullptr;
  spec->conversion = ch;
  return f + 1;
}

}  // namespace

void DebugCheck(bool failed) {
  if (failed && IsDebuggerPresent()) DebugBreak();
}

DWORD ToDigits32(LPWSTR buffer, DWORD capacity, uint32_t value, DWORD radix) {
  return ConvertToDigits(buffer, capacity, value, radix);
}

DWORD ToDigits64(LPWSTR buffer, DWORD capacity, uint64_t value, DWORD radix) {
  return ConvertToDigits(buffer, capacity, value, radix);
}

bool FormatConversion(LPWSTR* output, DWORD* remaining, LPCWSTR* format, va_list* arguments) {
  if (!output || !*output || !remaining || !format || !*format) {
    DebugCheck(true);
    return false;
  }

  // Arguments are read from a copy that replaces the caller's list only on success, so a
  // failed specification consumes nothing.
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
  WCHAR wideCharacter = 0;
  CHAR narrowCharacter = 0;
  bool negative = false;

  const IntegerConversion* integer = FindIntegerConversion(spec.conversion);
  if (integer) {
    if (spec.conversion == 'p' || spec.conversion == 'P') {
      spec.argumentClass = PointerArgument;
      if (spec.showSign && spec.width > 1 && spec.precision == 0) {
        spec.precision = spec.width - 1;
        if (spec.fill == 0) spec.fill = '0';
      }
    }
    uint64_t value = ReadInteger(&work, spec.argumentClass, integer->isSigned);
    ++reads;
    if (integer->isSigned && static_cast<int64_t>(value) < 0) {
      negative = true;
      value = 0 - value;  // modulo 2^64, so the most negative values convert too
    }
    DWORD count = (spec.argumentClass == ShortArgument || spec.argumentClass == Int32Argument)
                      ? ToDigits32(digits, DigitAreaCapacity, static_cast<uint32_t>(value), integer->radix)
                      : ToDigits64(digits, DigitAreaCapacity, value, integer->radix);
    if (integer->upperCase) {
      for (DWORD i = 0; i < count; ++i) {
        if (digits[i] >= 'a' && digits[i] <= 'z') digits[i] = static_cast<WCHAR>(digits[i] - 'a' + 'A');
      }
    }
    wideBody = digits;
    bodyLength = count;
    if (spec.precision != 0 && count > spec.precision) {  // keep the last `precision` digits
      wideBody = digits + (count - spec.precision);
      bodyLength = spec.precision;
    }
  } else if (spec.conversion == 'c') {
    wideCharacter = static_cast<WCHAR>(va_arg(work, int) & 0xFFFF);
    ++reads;
    wideBody = &wideCharacter;
    bodyLength = 1;
  } else if (spec.conversion == 'C') {
    narrowCharacter = static_cast<CHAR>(va_arg(work, int) & 0xFF);
    ++reads;
    narrowBody = &narrowCharacter;
    bodyLength = 1;
  } else if (spec.conversion == 's') {
    wideBody = va_arg(work, LPCWSTR);
    ++reads;
    if (!wideBody) wideBody = NullWideText;
    while ((spec.precision == 0 || bodyLength < spec.precision) && wideBody[bodyLength]) ++bodyLength;
  } else {  // 'S'
    narrowBody = va_arg(work, LPCSTR);
    ++reads;
    if (!narrowBody) narrowBody = NullNarrowText;
    while ((spec.precision == 0 || bodyLength < spec.precision) && narrowBody[bodyLength]) ++bodyLength;
  }

  if (spec.showSign || negative) leadIn[leadInLength++] = negative ? '-' : '+';
  if (spec.radixPrefix && integer) {
    for (const WCHAR* p = integer->prefix; *p && leadInLength < LeadInCapacity; ++p) leadIn[leadInLength++] = *p;
  }
  DebugCheck(leadInLength > LeadInCapacity);

  Output out = {*output, *remaining};
  if (bodyLength > 0) {  // an empty string writes nothing at all, whatever the width
    uint64_t used = bodyLength + leadInLength;
    uint64_t pad = spec.width > used ? spec.width - used : 0;
    if (spec.fill != 0) WriteWide(&out, leadIn, leadInLength);
    if (!spec.leftJustify) WriteFill(&out, spec.fill != 0 ? spec.fill : ' ', pad);
    if (spec.fill == 0) WriteWide(&out, leadIn, leadInLength);
    if (narrowBody) {
      WriteNarrow(&out, narrowBody, bodyLength);
    } else {
      WriteWide(&out, wideBody, bodyLength);
    }
    if (spec.leftJustify) WriteFill(&out, ' ', pad);
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
  while (*f && out.remaining > 0) {
    WCHAR ch = *f++;
    if (ch != '%') {
      WriteFill(&out, ch, 1);
    } else if (*f == 0) {  // a lone '%' at the end is printed
      WriteFill(&out, '%', 1);
    } else if (*f == '%') {
      ++f;
      WriteFill(&out, '%', 1);
    } else if (*f == 'n') {
      ++f;
      DebugCheck(!listPointer);
      if (listPointer) {
        int* target = va_arg(list, int*);
        DebugCheck(!target);
        if (target) *target = static_cast<int>(out.position - buffer);
      }
    } else if (!FormatConversion(&out.position, &out.remaining, &f, listPointer)) {
      // Not a valid specification: the '%' and the rest of it are copied as text.
      WriteFill(&out, '%', 1);
    }
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
