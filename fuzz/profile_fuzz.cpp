// The private-profile reader over arbitrary file bytes: no read or write outside its
// buffers, results within the sizes given, every result terminated. And the integer reading
// over values made of number characters, against a small model of how the system reads a
// profile integer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/common/profile.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

// The model: blanks before the value are dropped, the value is cut to 29 characters, then an
// optional sign, a lower-case base prefix ("0x", "0o", "0b") and the digits of that base up
// to the first other character, taken modulo 2^32; a minus sign negates modulo 2^32. An
// empty value gives the default.
uint32_t ModelInt(const std::u16string& value, uint32_t defaultValue) {
  size_t start = value.find_first_not_of(u" \t");
  if (start == std::u16string::npos) return defaultValue;
  std::u16string v = value.substr(start, 29);
  size_t i = 0;
  bool negative = false;
  if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) negative = v[i++] == u'-';
  unsigned base = 10;
  if (i + 1 < v.size() && v[i] == u'0') {
    const char* prefixes = "xob";
    const unsigned bases[] = {16, 8, 2};
    const char* found = v[i + 1] < 128 ? strchr(prefixes, static_cast<char>(v[i + 1])) : nullptr;
    if (found && *found) {
      base = bases[found - prefixes];
      i += 2;
    }
  }
  const char* digits = "0123456789abcdef";
  uint64_t number = 0;
  for (; i < v.size(); ++i) {
    char16_t ch = v[i] >= u'A' && v[i] <= u'F' ? static_cast<char16_t>(v[i] + 32) : v[i];
    const char* at = ch < 128 && ch != 0 ? strchr(digits, static_cast<char>(ch)) : nullptr;
    if (!at || static_cast<unsigned>(at - digits) >= base) break;
    number = (number * base + static_cast<unsigned>(at - digits)) % 0x100000000ull;
  }
  return static_cast<uint32_t>(negative ? (0x100000000ull - number) % 0x100000000ull : number);
}

// A value of number characters and blanks from the fuzz bytes, checked against the model.
void CheckIntegerReading(const uint8_t* data, size_t size) {
  const char alphabet[] = "0123456789abcdefABCDEFxobXOB+- \tz";
  std::u16string value;
  for (size_t i = 0; i < size && value.size() < 300; ++i) {
    // A byte with the top bit set repeats the character before it, so long runs (past the
    // cut at 29 characters) are cheap to reach.
    if (data[i] & 0x80) {
      value.append(data[i] & 0x7F, value.empty() ? u'0' : value.back());
    } else {
      value += static_cast<char16_t>(alphabet[data[i] % (sizeof alphabet - 1)]);
    }
  }
  std::u16string text = u"[Main]\r\nInterval=" + value + u"\r\n";
  UINT got = ProfileReadInt(text.c_str(), static_cast<DWORD>(text.size()), u"Main", u"Interval",
                            30);
  Check(got == ModelInt(value, 30));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckIntegerReading(data, size);
  // The first byte picks a buffer size, so cutting at every length gets exercised, and the
  // ANSI code page.
  DWORD bufferSize = size ? data[0] % 40 : 7;
  const UINT codePages[] = {1252, 437, 65001};
  UINT codePage = codePages[size ? data[0] % 3 : 0];
  WCHAR* text = static_cast<WCHAR*>(malloc((size + 1) * sizeof(WCHAR)));
  DWORD length = ProfileDecode(data, static_cast<DWORD>(size), codePage, text,
                               static_cast<DWORD>(size));
  Check(length <= size);
  // The last byte picks which look-up runs (a value, a section's keys, the section names), so
  // that one run reads the text once and the fuzzer itself steers towards every kind.
  const WCHAR* sections[] = {u"Main", u"main", u"", nullptr};
  const WCHAR* keys[] = {u"Signature", u"Volumes", u"", nullptr};
  unsigned pick = size ? data[size - 1] : 0;
  const WCHAR* section = sections[pick % 4];
  const WCHAR* key = keys[(pick / 4) % 4];
  WCHAR* out = static_cast<WCHAR*>(malloc((bufferSize + 1) * sizeof(WCHAR)));
  DWORD n = ProfileReadString(text, length, section, key, u"default ", out, bufferSize);
  if (bufferSize == 0) {
    Check(n == 0);
  } else {
    Check(n < bufferSize);
    Check(out[n] == 0);
    if (section && key) {
      for (DWORD i = 0; i < n; ++i) Check(out[i] != 0);
    }
  }
  ProfileReadInt(text, length, section, key, 30);
  free(out);
  free(text);
  return 0;
}
