// The template syntax: tokens, quoting, escapes and the parser's errors.
#include <gtest/gtest.h>

#include "unit/volume_test_support.h"

namespace {

// ---- ParseTemplates -------------------------------------------------------------------------

struct ParseCase {
  const char16_t* text;
  std::vector<std::u16string> templates;
  int result;
  const char* shown;  // what reached standard error
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << '"' << SimUtf8(c.text) << '"'; }

class ParseTemplatesTest : public VolumeTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTemplatesTest, GivesTheTemplatesInOrder) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(Parse(c.text), c.result);
  EXPECT_EQ(Templates(), c.templates);
  EXPECT_EQ(NodeCount(&list_), static_cast<LONG>(c.templates.size()));
  EXPECT_EQ(Errors(), c.shown);
}

const char* const TemplateError = "Error in volume template\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ParseTemplatesTest,
    ::testing::Values(
        ParseCase{u"", {}, 0, ""},
        ParseCase{u"C: D:", {u"C:", u"D:"}, 0, ""},
        ParseCase{u"\tC:\t\tD:", {u"C:", u"D:"}, 0, ""},
        ParseCase{u"   C:", {u"C:"}, 0, ""},
        ParseCase{u"\"D:\\My Mount\" E:", {u"D:\\My Mount", u"E:"}, 0, ""},
        ParseCase{u"\"C:\"D:", {u"C:", u"D:"}, 0, ""},
        ParseCase{u"a\"b", {u"a\"b"}, 0, ""},
        ParseCase{u"a\"b c\"", {u"a\"b", u"c\""}, 0, ""},
        ParseCase{u"\"a\"\"b\"", {u"a\"b"}, 0, ""},
        ParseCase{u"a\"\"b", {u"a\"b"}, 0, ""},
        ParseCase{u"\"\"\"", {u"\""}, 0, ""},
        ParseCase{u"\"C:", {u"C:"}, 0, ""},
        ParseCase{u"\\\\?\\Volume{1}\\ C:\\Dir\\", {u"\\\\?\\Volume{1}\\", u"C:\\Dir\\"}, 0, ""},
        ParseCase{u"\"\"", {}, 2, TemplateError},
        ParseCase{u"C: \"\"", {u"C:"}, 2, TemplateError},
        ParseCase{u"C: \"", {u"C:"}, 2, TemplateError},
        ParseCase{u"C: \"\" D:", {u"C:"}, 2, TemplateError},
        // Blanks after the last template end the text like its end does.
        ParseCase{u"C: ", {u"C:"}, 0, ""},
        ParseCase{u"C:\t \t", {u"C:"}, 0, ""},
        ParseCase{u" \t ", {}, 0, ""}));

TEST_F(VolumeTest, ParseCutsALongTemplateAt259Characters) {
  std::u16string longToken(300, u'x');
  longToken[258] = u'y';
  longToken[259] = u'z';
  EXPECT_EQ(Parse(longToken + u" C:"), 0);
  std::vector<std::u16string> templates = Templates();
  ASSERT_EQ(templates.size(), 2u);
  EXPECT_EQ(templates[0], longToken.substr(0, 259));
  EXPECT_EQ(templates[1], u"C:");
  EXPECT_EQ(Errors(), "");
}

TEST_F(VolumeTest, ParseLeavesThePositionBehindWhatItRead) {
  std::u16string text = u"C: \"\" D:";
  LPCWSTR position = W(text);
  EXPECT_EQ(ParseTemplates(&position, &list_), 2);
  EXPECT_EQ(position - W(text), 5);  // after the empty quoted token; D: is never read

  std::u16string trailing = u"C:  ";
  position = W(trailing);
  EmptyTemplateList(&list_);
  EXPECT_EQ(ParseTemplates(&position, &list_), 0);
  EXPECT_EQ(*position, 0);
}

TEST_F(VolumeTest, ParseAppendsToTheTemplatesAlreadyInTheList) {
  EXPECT_EQ(Parse(u"A:"), 0);
  EXPECT_EQ(Parse(u"B: C:"), 0);
  EXPECT_EQ(Templates(), (std::vector<std::u16string>{u"A:", u"B:", u"C:"}));
}

TEST_F(VolumeTest, ParseWithoutMemoryKeepsTheTemplatesBeforeAndStops) {
  SimFailCall("HeapAlloc", 3, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Parse(u"A: B: C: D:"), 8);
  EXPECT_EQ(Templates(), (std::vector<std::u16string>{u"A:", u"B:"}));
  EXPECT_EQ(Errors(), "No memory for volume descriptor\r\n");
  EXPECT_EQ(SimLiveHeapBlocks(), 2);
  EXPECT_EQ(SimCallCount("HeapAlloc"), 3u);  // D: was not looked at
}

TEST_F(VolumeTest, ParseAllocatesOneNodePerTemplate) {
  EXPECT_EQ(Parse(u"A: \"B C\" D:"), 0);
  EXPECT_EQ(SimCallCount("HeapAlloc"), 3u);
  EXPECT_EQ(SimLiveHeapBlocks(), 3);
  EmptyTemplateList(&list_);
  EXPECT_EQ(SimLiveHeapBlocks(), 0);
  EXPECT_EQ(NodeCount(&list_), 0);
  EXPECT_EQ(FirstNode(&list_), nullptr);
}

TEST_F(VolumeTest, ParseErrorKeepsTheLastErrorValue) {
  SetLastError(1234);
  EXPECT_EQ(Parse(u"\"\""), 2);
  EXPECT_EQ(GetLastError(), 1234u);
}

// ---- NextToken --------------------------------------------------------------------------------

struct TokenCase {
  const char16_t* text;
  DWORD options;
  const char16_t* delimiters;  // null: the default set
  const char16_t* token;
  int next;  // where reading goes on, as an offset into the text; -1 for none
};

void PrintTo(const TokenCase& c, std::ostream* out) {
  *out << '"' << SimUtf8(c.text) << "\" options " << c.options;
}

class NextTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(NextTokenTest, ReadsOneToken) {
  const TokenCase& c = GetParam();
  SimReset();
  WCHAR out[TEMPLATE_CAPACITY];
  LPCWSTR text = reinterpret_cast<LPCWSTR>(c.text);
  LPCWSTR delimiters = reinterpret_cast<LPCWSTR>(c.delimiters);
  LPCWSTR next = NextToken(text, out, TEMPLATE_CAPACITY, delimiters, c.options);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), c.token);
  EXPECT_EQ(next ? next - text : -1, c.next);
  // Skipping the token (no buffer) ends at the same place.
  LPCWSTR skipped = NextToken(text, nullptr, 0, delimiters, c.options);
  EXPECT_EQ(skipped, next);
}

const DWORD Doubled = DoubledQuoteEscape;
const DWORD Backslash = BackslashEscape;

INSTANTIATE_TEST_SUITE_P(
    Table, NextTokenTest,
    ::testing::Values(
        TokenCase{u"", 0, nullptr, u"", -1},
        TokenCase{u"abc def", 0, nullptr, u"abc", 3},
        TokenCase{u" abc", 0, nullptr, u"", 0},  // leading delimiters are not skipped
        TokenCase{u"abc\tdef", 0, nullptr, u"abc", 3},
        TokenCase{u"\"a b\"c", 0, nullptr, u"a b", 5},
        TokenCase{u"\"", 0, nullptr, u"", 1},
        TokenCase{u"\"\"", 0, nullptr, u"", 2},
        TokenCase{u"\"ab", 0, nullptr, u"ab", 3},
        TokenCase{u"a\"b", 0, nullptr, u"a\"b", 3},
        TokenCase{u"a\"\"b", 0, nullptr, u"a\"\"b", 4},
        TokenCase{u"a\"\"b", Doubled, nullptr, u"a\"b", 4},
        TokenCase{u"\"a\"\"b\" c", Doubled, nullptr, u"a\"b", 6},
        TokenCase{u"\"a\"\"b\" c", 0, nullptr, u"a", 3},
        TokenCase{u"a\\\"b", Backslash, nullptr, u"a\"b", 4},
        TokenCase{u"a\\\\b", Backslash, nullptr, u"a\\b", 4},
        TokenCase{u"a\\b", Backslash, nullptr, u"a\\b", 3},
        TokenCase{u"a\\\"b", 0, nullptr, u"a\\\"b", 4},
        TokenCase{u"a\\\\b", 0, nullptr, u"a\\\\b", 4},
        TokenCase{u"\"a\\\"b\"", Backslash, nullptr, u"a\"b", 6},
        TokenCase{u"a\\", Backslash, nullptr, u"a\\", 2},
        // An escaped character never ends the token, not even a delimiter.
        TokenCase{u"a\"\"b", Doubled, u"\"", u"a\"b", 4},
        TokenCase{u"a,b c", 0, u",", u"a", 1},
        TokenCase{u"a b,c", 0, u",", u"a b", 3},
        TokenCase{u"\"a,b\",c", 0, u",", u"a,b", 5}));

TEST(NextToken, CutsALongTokenAndReadsOnAfterIt) {
  SimReset();
  std::u16string text = u"abcdefg h";
  WCHAR out[5];
  LPCWSTR next = NextToken(W(text), out, 5, nullptr, 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), u"abcd");
  EXPECT_EQ(next - W(text), 7);

  WCHAR one[1] = {u'x'};
  next = NextToken(W(text), one, 1, nullptr, 0);
  EXPECT_EQ(one[0], 0);
  EXPECT_EQ(next - W(text), 7);
}

TEST(NextToken, LooksAtTheFirst50CharactersOfTheDelimiterSet) {
  SimReset();
  std::u16string set(49, u'-');
  set += u',';  // the 50th character still counts
  set += u';';  // the 51st does not
  std::u16string text = u"a;b,c";
  WCHAR out[16];
  LPCWSTR next = NextToken(W(text), out, 16, W(set), 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), u"a;b");
  EXPECT_EQ(next - W(text), 3);
}

TEST(NextToken, AnEmptyDelimiterSetLetsBlanksIntoTheToken) {
  SimReset();
  std::u16string text = u"a b\tc";
  WCHAR out[16];
  LPCWSTR next = NextToken(W(text), out, 16, W(u""), 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), u"a b\tc");
  EXPECT_EQ(*next, 0);
}

}  // namespace
