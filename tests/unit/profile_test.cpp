// The private-profile reader shared by the Linux backend and the simulation.
#include <gtest/gtest.h>

#include <string>

#include "platform/common/profile.h"
#include "sim/sim.h"

namespace {

// Without a byte-order mark a file is read in the ANSI code page, 1252 unless given.
std::u16string Decode(const std::string& bytes, UINT codePage = 1252) {
  std::u16string text(bytes.size() + 1, u'\0');
  DWORD n = ProfileDecode(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()), codePage,
                          reinterpret_cast<WCHAR*>(&text[0]), static_cast<DWORD>(bytes.size()));
  text.resize(n);
  return text;
}

struct Lookup {
  DWORD result;
  std::string value;
};

Lookup Read(const std::string& file, const std::u16string& section, const std::u16string& key,
            DWORD size = 64, const char16_t* defaultText = u"dflt") {
  std::u16string text = Decode(file);
  std::u16string out(size + 4, u'#');
  DWORD n = ProfileReadString(reinterpret_cast<const WCHAR*>(text.data()),
                              static_cast<DWORD>(text.size()),
                              reinterpret_cast<LPCWSTR>(section.c_str()),
                              reinterpret_cast<LPCWSTR>(key.c_str()),
                              reinterpret_cast<LPCWSTR>(defaultText),
                              reinterpret_cast<WCHAR*>(&out[0]), size);
  std::u16string value(out.c_str());
  EXPECT_EQ(out[size], u'#') << "written past the buffer";
  return {n, SimUtf8(value)};
}

struct StringCase {
  const char* what;
  std::string file;
  const char16_t* section;
  const char16_t* key;
  std::string value;
};

TEST(ProfileReader, FindsValuesByTheRulesOfTheProfileFunctions) {
  const StringCase cases[] = {
      {"plain", "[Main]\r\nSignature=Sorvanel\r\n", u"Main", u"Signature", "Sorvanel"},
      {"section and key ignore case", "[mAIN]\nsIGNATURE=x\n", u"Main", u"Signature", "x"},
      {"blanks around names and value", "  [ Main ]  \n\t Key \t=\t va lue \t\n", u"Main",
       u"Key", "va lue"},
      {"first key wins", "[Main]\nKey=one\nKey=two\n", u"Main", u"Key", "one"},
      {"first section wins", "[Main]\nOther=1\n[Main]\nKey=two\n", u"Main", u"Key", "dflt"},
      {"key of another section", "[Other]\nKey=x\n[Main]\nKey=y\n", u"Main", u"Key", "y"},
      {"section missing", "[Other]\nKey=x\n", u"Main", u"Key", "dflt"},
      {"lines before any section", "Key=x\n[Main]\n", u"Main", u"Key", "dflt"},
      {"comment line", "[Main]\n;Key=x\n  ; Key=y\nKey=z\n", u"Main", u"Key", "z"},
      {"double quotes dropped", "[Main]\nKey=\"C: D:\"\n", u"Main", u"Key", "C: D:"},
      {"single quotes dropped", "[Main]\nKey='x y'\n", u"Main", u"Key", "x y"},
      {"blanks inside quotes kept", "[Main]\nKey=\" x \"\n", u"Main", u"Key", " x "},
      {"unmatched quotes kept", "[Main]\nKey=\"x'\n", u"Main", u"Key", "\"x'"},
      {"inner quotes kept", "[Main]\nKey=C: \"D E\"\n", u"Main", u"Key", "C: \"D E\""},
      {"outer quotes dropped around inner ones", "[Main]\nKey=\"D:\\a b\" \"E:\\c d\"\n",
       u"Main", u"Key", "D:\\a b\" \"E:\\c d"},
      {"lone quote kept", "[Main]\nKey=\"\n", u"Main", u"Key", "\""},
      {"empty quotes", "[Main]\nKey=\"\"\n", u"Main", u"Key", ""},
      {"empty value", "[Main]\nKey=\n", u"Main", u"Key", ""},
      {"line without '=' has no value", "[Main]\nKey\n", u"Main", u"Key", "dflt"},
      {"... and hides a later value", "[Main]\nKey\nKey=x\n", u"Main", u"Key", "dflt"},
      {"... but not an earlier one", "[Main]\nKey=x\nKey\n", u"Main", u"Key", "x"},
      {"Ctrl+Z at the end of the file", "[Main]\r\nKey=C:\x1A", u"Main", u"Key", "C:"},
      {"vertical tab and form feed are blanks", "[Main]\n\x0BKey\x0C=\x0C" "x\x0B\n", u"Main",
       u"Key", "x"},
      {"'=' in value", "[Main]\nKey=a=b\n", u"Main", u"Key", "a=b"},
      {"CR alone ends lines", "[Main]\rKey=x\rOther=y\r", u"Main", u"Key", "x"},
      {"no line end at the end", "[Main]\nKey=last", u"Main", u"Key", "last"},
      {"'[' without ']' opens no section", "[Main]\n[Main\nKey=x\n", u"Main", u"Key", "x"},
      {"... nor a section of that name", "[Other]\n[Main\nKey=x\n", u"Main", u"Key", "dflt"},
      {"text after ']'", "[Main] junk\nKey=x\n", u"Main", u"Key", "x"},
      // Without a byte-order mark the bytes are ANSI (here code page 1252), as on Windows.
      {"ANSI value", "[Main]\nKey=\x80 Gr\xFC\xDF" "e\n", u"Main", u"Key",
       "\xE2\x82\xAC Gr\xC3\xBC\xC3\x9F" "e"},
      {"ANSI byte without a character", "[Main]\nKey=\x81\n", u"Main", u"Key", "\xC2\x81"},
      {"UTF-8 without byte-order mark is ANSI", "[Main]\nKey=D:\\Caf\xC3\xA9\n", u"Main", u"Key",
       "D:\\Caf\xC3\x83\xC2\xA9"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Main]\nKey=D:\\Caf\xC3\xA9\n", u"Main", u"Key",
       "D:\\Caf\xC3\xA9"},
      {"non-ASCII key, case ignored", "[Main]\n\xC4nderung=1\n", u"Main", u"\u00E4NDERUNG", "1"},
      {"empty file", "", u"Main", u"Key", "dflt"},
      // A zero character ends the name or value it stands in, not the text.
      {"zero ends a value", std::string("[Main]\nKey=a\0b\nOther=c\n", 22), u"Main", u"Key",
       "a"},
      {"... and not the text", std::string("[Main]\nSignature=Sorvanel\0\nInterval=60\n", 39),
       u"Main", u"Interval", "60"},
      {"... ends a key name", std::string("[Main]\nKey\0x=y\n", 15), u"Main", u"Key", "y"},
      {"... and a section name", std::string("[Ma\0in]\nKey=y\n", 15), u"Ma", u"Key", "y"},
      {"line that begins with zero", std::string("[Main]\n\0Key=x\nKey=y\n", 20), u"Main",
       u"Key", "y"},
      {"a file is read whole", "; " + std::string(40000, 'x') + "\n[Main]\nKey=far\n", u"Main",
       u"Key", "far"},
  };
  for (const StringCase& c : cases) {
    Lookup got = Read(c.file, c.section, c.key);
    EXPECT_EQ(got.value, c.value) << c.what;
    EXPECT_EQ(got.result, SimUtf16(c.value).size()) << c.what;
  }
}

TEST(ProfileReader, ReadsUtf16WithByteOrderMarkInEitherByteOrder) {
  std::u16string wide = u"[Main]\r\nKey=\u20AC 5\r\n";
  std::string little = "\xFF\xFE", big = "\xFE\xFF";
  for (char16_t ch : wide) {
    little += static_cast<char>(ch & 0xFF);
    little += static_cast<char>(ch >> 8);
    big += static_cast<char>(ch >> 8);
    big += static_cast<char>(ch & 0xFF);
  }
  EXPECT_EQ(Read(little, u"Main", u"Key").value, "\xE2\x82\xAC 5");
  EXPECT_EQ(Read(big, u"Main", u"Key").value, "\xE2\x82\xAC 5");
}

TEST(ProfileReader, CutsValuesAndDefaultsToTheBuffer) {
  const std::string file = "[Main]\nKey=abcdefghij\n";
  struct {
    DWORD size;
    DWORD result;
    std::string value;
  } cases[] = {{11, 10, "abcdefghij"}, {10, 9, "abcdefghi"}, {2, 1, "a"}, {1, 0, ""}};
  for (auto& c : cases) {
    Lookup got = Read(file, u"Main", u"Key", c.size);
    EXPECT_EQ(got.result, c.result) << c.size;
    EXPECT_EQ(got.value, c.value) << c.size;
  }
  // The default is cut the same way and loses its trailing blanks.
  EXPECT_EQ(Read(file, u"Main", u"Missing", 4, u"defaults").value, "def");
  Lookup trailing = Read(file, u"Main", u"Missing", 64, u" x  \t");
  EXPECT_EQ(trailing.value, " x");
  EXPECT_EQ(trailing.result, 2u);
}

TEST(ProfileReader, MissingFileGivesTheDefault) {
  WCHAR out[16];
  EXPECT_EQ(ProfileReadString(nullptr, 0, u"Main", u"Key", u"none", out, 16), 4u);
  EXPECT_EQ(std::u16string(out), u"none");
  EXPECT_EQ(ProfileReadString(nullptr, 0, u"Main", u"Key", nullptr, out, 16), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(ProfileReadInt(nullptr, 0, u"Main", u"Key", 30), 30u);
  // No buffer at all: nothing is written.
  EXPECT_EQ(ProfileReadString(nullptr, 0, u"Main", u"Key", u"none", out, 0), 0u);
}

TEST(ProfileReader, ListsSectionsAndKeys) {
  std::u16string text = Decode("[One]\na=1\n;c=3\nnovalue\nb=2\n[Two]\nc=3\n[One]\nd=4\n");
  const WCHAR* t = reinterpret_cast<const WCHAR*>(text.data());
  DWORD n = static_cast<DWORD>(text.size());
  WCHAR out[32];
  DWORD got = ProfileReadString(t, n, nullptr, nullptr, u"", out, 32);
  EXPECT_EQ(std::u16string(out, got + 1), std::u16string(u"One\0Two\0One\0\0", 13));
  got = ProfileReadString(t, n, u"one", nullptr, u"", out, 32);
  EXPECT_EQ(std::u16string(out, got + 1), std::u16string(u"a\0b\0\0", 5));
  // A list that does not fit loses the end of its last name, keeps two terminators and is
  // reported as size - 2.
  got = ProfileReadString(t, n, nullptr, nullptr, u"", out, 7);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::u16string(out, 7), std::u16string(u"One\0T\0\0", 7));
  // A name that ends one short of the end: its terminator is the first of the two.
  got = ProfileReadString(t, n, nullptr, nullptr, u"", out, 5);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::u16string(out, 5), std::u16string(u"One\0\0", 5));
}

TEST(ProfileReader, ReadsIntegersFromLeadingDigits) {
  struct {
    std::string value;
    UINT expected;
  } cases[] = {
      {"60", 60},          {"  60  ", 60},         {"102abc", 102},      {"abc", 0},
      {"+7", 7},           {"-1", 0xFFFFFFFFu},     {"-", 0},             {"007", 7},
      {"4294967295", 0xFFFFFFFFu}, {"4294967296", 0}, {"4294967297", 1},  {"1 000", 1},
      {"\"15\"", 15},      {"1001", 1001},
      // A prefix in lower case picks the base, as for the system's integer reading.
      {"0x10", 16},        {"0x3c", 60},           {"0x3C", 60},         {"-0x10", 0xFFFFFFF0u},
      {"0o17", 15},        {"0b101", 5},           {"0b102", 2},         {"0o8", 0},
      {"0xG", 0},          {"0X10", 0},            {"0B1", 0},           {"x10", 0},
      {"0xFFFFFFFF1", 0xFFFFFFF1u},                {"10x", 10},
      // Control characters before the number count as blanks.
      {"\x0B" "42", 42},   {"\x1A" "42", 42},
      // The value is read into a buffer of 30 characters before it is converted, so it is
      // cut to 29: thirty zeros and a 7 read as 0, as Wine reads them. No public source
      // says that Windows' buffer differs, so Wine's is followed.
      {std::string(28, '0') + "7", 7}, {std::string(29, '0') + "7", 0},
      {std::string(30, '0') + "7", 0}, {" " + std::string(28, '0') + "7", 7},
  };
  for (auto& c : cases) {
    std::u16string text = Decode(std::string("[Main]\nInterval=") + c.value + "\n");
    EXPECT_EQ(ProfileReadInt(reinterpret_cast<const WCHAR*>(text.data()),
                             static_cast<DWORD>(text.size()), u"Main", u"Interval", 30),
              c.expected)
        << c.value.size() << " characters: " << c.value;
  }
  // A present but empty value counts as missing.
  std::u16string empty = Decode("[Main]\nInterval=\n");
  EXPECT_EQ(ProfileReadInt(reinterpret_cast<const WCHAR*>(empty.data()),
                           static_cast<DWORD>(empty.size()), u"Main", u"Interval", 30),
            30u);
}

TEST(ProfileReader, DecodesWithinTheCapacity) {
  // Malformed UTF-8 becomes U+FFFD; a UTF-16 text with an odd byte drops it.
  EXPECT_EQ(Decode("a\xFF" "b", CP_UTF8), u"a\uFFFDb");
  EXPECT_EQ(Decode("a\xC3\xA9", CP_UTF8), u"a\u00E9");
  EXPECT_EQ(Decode("\x82\x9D\xFF", 437), u"\u00E9\u00A5\u00A0");
  EXPECT_EQ(Decode(std::string("\xFF\xFE" "a\0b", 5)), u"a");
  WCHAR out[3];
  std::string bytes = "abcdef";
  for (UINT codePage : {1252u, static_cast<UINT>(CP_UTF8)}) {
    EXPECT_EQ(ProfileDecode(reinterpret_cast<const unsigned char*>(bytes.data()), 6, codePage,
                            out, 3),
              3u);
    EXPECT_EQ(std::u16string(out, 3), u"abc");
  }
}

}  // namespace
