#include "platform/common/utf8.h"

namespace {

// Decodes one code point at text[*i] and steps past it.
uint32_t NextCodePoint(const WCHAR* text, int length, int* i) {
  uint32_t unit = static_cast<uint16_t>(text[*i]);
  *i += 1;
  if (unit >= 0xD800 && unit <= 0xDBFF && *i < length) {
    uint32_t low = static_cast<uint16_t>(text[*i]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *i += 1;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  if (unit >= 0xD800 && unit <= 0xDFFF) return 0xFFFD;
  return unit;
}

int EncodeUtf8(uint32_t cp, char* bytes) {
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
  bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Decodes one UTF-8 sequence; anything malformed yields U+FFFD and consumes one byte.
uint32_t NextUtf8(const unsigned char* text, int length, int* i) {
  unsigned char b = text[*i];
  int need = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
  if (need < 0) {
    *i += 1;
    return 0xFFFD;
  }
  if (need == 0) {
    *i += 1;
    return b;
  }
  if (*i + need >= length) {  // the sequence is cut off by the end of the text
    *i += 1;
    return 0xFFFD;
  }
  uint32_t cp = b & (0x3F >> need);
  for (int k = 1; k <= need; ++k) {
    unsigned char c = text[*i + k];
    if ((c & 0xC0) != 0x80) {
      *i += 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static const uint32_t minimum[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < minimum[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *i += 1;
    return 0xFFFD;
  }
  *i += need + 1;
  return cp;
}

}  // namespace

int Utf8FromUtf16(const WCHAR* text, int length, char* out, int capacity) {
  int written = 0;
  int i = 0;
  while (i < length) {
    char bytes[4];
    int n = EncodeUtf8(NextCodePoint(text, length, &i), bytes);
    if (out && capacity > 0) {
      if (written + n > capacity) return 0;
      for (int k = 0; k < n; ++k) out[written + k] = bytes[k];
    }
    written += n;
  }
  return written;
}

int Utf16FromUtf8(const char* text, int length, WCHAR* out, int capacity) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  int written = 0;
  int i = 0;
  while (i < length) {
    uint32_t cp = NextUtf8(bytes, length, &i);
    WCHAR units[2];
    int n = 1;
    if (cp >= 0x10000) {
      units[0] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
      units[1] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      n = 2;
    } else {
      units[0] = static_cast<WCHAR>(cp);
    }
    if (out && capacity > 0) {
      if (written + n > capacity) return 0;
      for (int k = 0; k < n; ++k) out[written + k] = units[k];
    }
    written += n;
  }
  return written;
}
