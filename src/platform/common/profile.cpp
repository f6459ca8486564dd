#include "platform/common/profile.h"

#include "platform/common/case_mapping.h"
#include "platform/common/code_page.h"
#include "platform/common/utf8.h"

namespace {

// A piece of the text: [begin, end).
struct Span {
  const WCHAR* begin;
  const WCHAR* end;
};

// Space, the control characters from tab to carriage return, and the DOS end-of-file mark
// (Ctrl+Z) that old editors leave at the end of a file.
bool IsProfileBlank(WCHAR ch) { return ch == ' ' || (ch >= 0x09 && ch <= 0x0D) || ch == 0x1A; }

Span Trim(Span span) {
  while (span.begin < span.end && IsProfileBlank(*span.begin)) ++span.begin;
  while (span.end > span.begin && IsProfileBlank(span.end[-1])) --span.end;
  return span;
}

DWORD SpanLength(Span span) { return static_cast<DWORD>(span.end - span.begin); }

// A name or value ends at a zero character, as the string it becomes would.
Span CutAtZero(Span span) {
  const WCHAR* end = span.begin;
  while (end < span.end && *end) ++end;
  return {span.begin, end};
}

bool SameName(Span span, LPCWSTR name) {
  return CompareTextNoCase(span.begin, static_cast<int>(SpanLength(span)), name, -1, true) ==
         CSTR_EQUAL;
}

// One line of the text, blanks trimmed; false at the end of the text.
struct LineReader {
  const WCHAR* at;
  const WCHAR* limit;

  LineReader(const WCHAR* text, DWORD length) : at(text), limit(text ? text + length : text) {}

  bool Next(Span* line) {
    if (!at || at >= limit) return false;
    const WCHAR* begin = at;
    while (at < limit && *at != '\r' && *at != '\n') ++at;
    const WCHAR* end = at;
    if (at < limit && *at == '\r') ++at;
    if (at < limit && *at == '\n') ++at;
    *line = Trim({begin, end});
    return true;
  }
};

// A line without '=' names no value: looking it up gives the default, and it is not listed.
enum LineKind { SkippedLine, SectionLine, KeyLine, NameOnlyLine };

// Sorts a trimmed line and takes out its name (and, for a key line, its value).
LineKind ParseLine(Span line, Span* name, Span* value) {
  if (line.begin == line.end || *line.begin == ';') return SkippedLine;
  if (*line.begin == '[') {
    const WCHAR* close = line.begin + 1;
    while (close < line.end && *close != ']') ++close;
    if (close < line.end) {
      *name = CutAtZero(Trim({line.begin + 1, close}));
      return SectionLine;
    }
  }
  const WCHAR* equals = line.begin;
  while (equals < line.end && *equals != '=') ++equals;
  *name = CutAtZero(Trim({line.begin, equals}));
  if (equals == line.end) return NameOnlyLine;
  *value = CutAtZero(Trim({equals + 1, line.end}));
  if (SpanLength(*value) >= 2 && (*value->begin == '"' || *value->begin == '\'') &&
      value->end[-1] == *value->begin) {
    ++value->begin;
    --value->end;
  }
  return KeyLine;
}

// Copies a span cut to size - 1 characters and terminates it; returns the count copied.
DWORD CopyCut(Span span, LPWSTR out, DWORD size) {
  DWORD n = SpanLength(span);
  if (n > size - 1) n = size - 1;
  for (DWORD i = 0; i < n; ++i) out[i] = span.begin[i];
  out[n] = 0;
  return n;
}

// A list of names, each terminated, ended by a second terminator. When the list does not
// fit, it is cut and the result is size - 2, as the system does.
struct NameList {
  LPWSTR out;
  DWORD size;
  DWORD used;
  bool full;

  void Add(Span name) {
    if (full) return;
    DWORD n = SpanLength(name);
    if (used + n + 2 > size) {
      // What fits of this name, then the two terminators. A name that ended one short of
      // the end leaves no room: its terminator becomes the first of the two.
      DWORD room = used < size - 2 ? size - 2 - used : 0;
      for (DWORD i = 0; i < room; ++i) out[used + i] = name.begin[i];
      used = size - 2;
      out[used] = 0;
      out[used + 1] = 0;
      full = true;
      return;
    }
    for (DWORD i = 0; i < n; ++i) out[used + i] = name.begin[i];
    used += n;
    out[used++] = 0;
    out[used] = 0;
  }
};

// Finds the value of `key` in the first section named `section`.
bool FindValue(const WCHAR* text, DWORD length, LPCWSTR section, LPCWSTR key, Span* found) {
  if (!text) return false;
  LineReader reader(text, length);
  bool inSection = false;
  bool sectionSeen = false;
  Span line, name, value;
  while (reader.Next(&line)) {
    LineKind kind = ParseLine(line, &name, &value);
    if (kind == SectionLine) {
      if (sectionSeen) return false;  // only the first matching section is searched
      inSection = SameName(name, section);
      sectionSeen = inSection;
    } else if ((kind == KeyLine || kind == NameOnlyLine) && inSection && SameName(name, key)) {
      // The first line of that name decides, also when it has no value.
      *found = value;
      return kind == KeyLine;
    }
  }
  return false;
}

DWORD ListNames(const WCHAR* text, DWORD length, LPCWSTR section, LPWSTR out, DWORD size) {
  if (size < 2) {
    if (size == 1) out[0] = 0;
    return 0;
  }
  NameList list = {out, size, 0, false};
  out[0] = 0;
  out[1] = 0;
  if (text) {
    LineReader reader(text, length);
    bool inSection = false;
    bool sectionSeen = false;
    Span line, name, value;
    while (reader.Next(&line)) {
      LineKind kind = ParseLine(line, &name, &value);
      if (kind == SectionLine) {
        if (!section) {
          list.Add(name);
        } else {
          if (sectionSeen) break;
          inSection = SameName(name, section);
          sectionSeen = inSection;
        }
      } else if (kind == KeyLine && section && inSection) {
        list.Add(name);
      }
    }
  }
  return list.used;
}

}  // namespace

DWORD ProfileDecode(const unsigned char* bytes, DWORD count, UINT ansiCodePage, WCHAR* out,
                    DWORD capacity) {
  bool little = count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  bool big = count >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
  if (little || big) {
    int low = little ? 0 : 1;
    DWORD n = 0;
    for (DWORD i = 2; i + 1 < count && n < capacity; i += 2) {
      out[n++] = static_cast<WCHAR>(bytes[i + low] | (bytes[i + 1 - low] << 8));
    }
    return n;
  }
  UINT codePage = ansiCodePage;
  if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    bytes += 3;
    count -= 3;
    codePage = CP_UTF8;
  }
  // Every byte yields at most one UTF-16 unit, so `capacity` bytes always fit.
  if (count > capacity) count = capacity;
  if (count > 0x7FFFFFFF) count = 0x7FFFFFFF;
  return static_cast<DWORD>(CodePageToWide(codePage, bytes, static_cast<int>(count), out,
                                           static_cast<int>(count)));
}

DWORD ProfileReadString(const WCHAR* text, DWORD length, LPCWSTR section, LPCWSTR key,
                        LPCWSTR defaultText, LPWSTR out, DWORD size) {
  if (!out || size == 0) return 0;
  if (!section || !key) return ListNames(text, length, section, out, size);
  Span value;
  if (FindValue(text, length, section, key, &value)) return CopyCut(value, out, size);
  // The default loses trailing blanks, as the system's does.
  Span fallback = {defaultText, defaultText};
  if (defaultText) {
    while (*fallback.end) ++fallback.end;
    while (fallback.end > fallback.begin && IsProfileBlank(fallback.end[-1])) --fallback.end;
  }
  return CopyCut(fallback, out, size);
}

UINT ProfileReadInt(const WCHAR* text, DWORD length, LPCWSTR section, LPCWSTR key,
                    int defaultValue) {
  WCHAR value[PROFILE_INT_BUFFER];
  if (!section || !key) return static_cast<UINT>(defaultValue);
  if (ProfileReadString(text, length, section, key, TEXT(""), value, PROFILE_INT_BUFFER) == 0) {
    return static_cast<UINT>(defaultValue);
  }
  return ProfileParseInt(value);
}

UINT ProfileParseInt(LPCWSTR value) {
  while (*value != 0 && *value <= ' ') ++value;
  bool negative = false;
  if (*value == '+' || *value == '-') negative = *value++ == '-';
  UINT base = 10;
  if (value[0] == '0' && (value[1] == 'x' || value[1] == 'o' || value[1] == 'b')) {
    base = value[1] == 'x' ? 16u : value[1] == 'o' ? 8u : 2u;
    value += 2;
  }
  UINT result = 0;
  for (;; ++value) {
    UINT digit;
    if (*value >= '0' && *value <= '9') {
      digit = static_cast<UINT>(*value - '0');
    } else if (*value >= 'a' && *value <= 'f') {
      digit = static_cast<UINT>(*value - 'a' + 10);
    } else if (*value >= 'A' && *value <= 'F') {
      digit = static_cast<UINT>(*value - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    result = result * base + digit;
  }
  return negative ? 0u - result : result;
}
