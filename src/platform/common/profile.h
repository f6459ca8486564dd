// Reading private-profile (INI) text the way GetPrivateProfileStringW and
// GetPrivateProfileIntW read a file. The backends read the whole file; this code decodes
// its bytes and answers the queries, so the Linux program and the simulated machine agree.
//
// The rules:
// - a line is ended by CR, LF or CR LF; blanks (space, the control characters tab to CR,
//   and Ctrl+Z) at both ends of a line are ignored; empty lines and lines whose first
//   character is ';' are skipped;
// - "[name]" opens a section; the name is what lies between '[' and the next ']', without
//   surrounding blanks; a line that begins with '[' but has no ']' is no section header and
//   is read as any other line;
// - any other line in a section is "key=value"; key and value lose surrounding blanks; a
//   line without '=' has no value: when it comes first among the lines of its name, a
//   lookup gives the default, and key lists leave it out; lines before the first section
//   belong to no section;
// - a zero character ends the name or value it stands in, as it ends a string; the rest of
//   its line is still looked at for the '=' and the ']', and the next line is read as usual;
// - names are compared without regard to case; the first matching section is the only one
//   searched, and its first matching key wins;
// - a value of two or more characters that begins and ends with the same quote (' or ")
//   loses both quotes, also when more quotes stand inside it.
#pragma once

#include "platform/win32.h"

// Characters of a value that GetPrivateProfileIntW reads before it converts them: it reads
// the value into a buffer of this size, so a longer value is cut to 29 characters first
// (thirty zeros and a 7 read as 0).
#define PROFILE_INT_BUFFER 30

// Decodes file bytes: UTF-16LE when they begin with the byte-order mark FF FE, UTF-16BE
// behind FE FF, UTF-8 behind the UTF-8 byte-order mark, otherwise the ANSI code page
// `ansiCodePage` (one of code_page.h). Writes at most `capacity` characters, no terminator,
// and returns how many it wrote. A capacity of `count` characters is always enough.
DWORD ProfileDecode(const unsigned char* bytes, DWORD count, UINT ansiCodePage, WCHAR* out,
                    DWORD capacity);

// GetPrivateProfileStringW over decoded text; `text` null stands for a missing file.
// With `key` null the result is the section's key names, with `section` null the section
// names, each terminated, the list ended by a second terminator.
DWORD ProfileReadString(const WCHAR* text, DWORD length, LPCWSTR section, LPCWSTR key,
                        LPCWSTR defaultText, LPWSTR out, DWORD size);

// GetPrivateProfileIntW over decoded text: the default when the key is missing or its
// value empty, otherwise ProfileParseInt of the value's first PROFILE_INT_BUFFER - 1
// characters.
UINT ProfileReadInt(const WCHAR* text, DWORD length, LPCWSTR section, LPCWSTR key,
                    int defaultValue);

// The number at the start of a value, read as the system's profile functions read it:
// leading control characters and blanks skipped, an optional sign, then "0x", "0o" or "0b"
// (lower case) for base 16, 8 or 2, otherwise base 10, then digits of that base up to the
// first other character ("102abc" is 102, "0x1F" is 31, "abc" is 0). Overflow wraps modulo
// 2^32 and a minus sign negates in 32-bit arithmetic, so "-1" is 0xFFFFFFFF.
UINT ProfileParseInt(LPCWSTR value);
