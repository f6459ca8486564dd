#include <gtest/gtest.h>

#include <string>

#include "sim/sim.h"
#include "support/text.h"

namespace {

const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

class TextHelpers : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

TEST_F(TextHelpers, IsBlankUsesTheDefaultSetAndNeverTheTerminator) {
  EXPECT_TRUE(IsBlank(' ', nullptr));
  EXPECT_TRUE(IsBlank('\t', nullptr));
  EXPECT_FALSE(IsBlank('\n', nullptr));
  EXPECT_FALSE(IsBlank(0, nullptr));
  EXPECT_FALSE(IsBlank(0, W(u"abc")));
  EXPECT_TRUE(IsBlank('b', W(u"abc")));
  EXPECT_FALSE(IsBlank(' ', W(u"abc")));
}

TEST_F(TextHelpers, OnlyTheFirstFiftyCharactersOfASetCount) {
  std::u16string set(50, u'x');
  set += u"y";
  EXPECT_TRUE(IsBlank('x', W(set.c_str())));
  EXPECT_FALSE(IsBlank('y', W(set.c_str())));
}

TEST_F(TextHelpers, SkipBlanksStopsAtTheFirstOtherCharacterOrTheTerminator) {
  const char16_t* text = u" \t a b";
  EXPECT_EQ(SkipBlanks(W(text), nullptr), W(text) + 3);
  const char16_t* blanks = u" \t  ";
  EXPECT_EQ(SkipBlanks(W(blanks), nullptr), W(blanks) + 4);
  EXPECT_EQ(*SkipBlanks(W(blanks), nullptr), 0);
}

TEST_F(TextHelpers, CopyBoundedCutsAtCapacityOrSourceLimit) {
  struct Case {
    const char16_t* source;
    DWORD capacity;
    DWORD limit;
    const char16_t* expected;
  } cases[] = {
      {u"abcdef", 4, 0, u"abc"}, {u"abcdef", 10, 2, u"ab"}, {u"", 4, 0, u""},
      {u"abc", 4, 0, u"abc"},    {u"abc", 1, 0, u""},       {u"abcdef", 3, 5, u"ab"},
  };
  for (const Case& c : cases) {
    WCHAR out[16];
    for (WCHAR& ch : out) ch = 'Z';
    DWORD n = CopyBounded(out, c.capacity, W(c.source), c.limit);
    std::u16string expected(c.expected);
    EXPECT_EQ(n, expected.size()) << "capacity " << c.capacity;
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), expected);
    EXPECT_EQ(out[n + 1], 'Z') << "wrote past the terminator";
  }
  EXPECT_EQ(SimBreakpointCount(), 0);
}

TEST_F(TextHelpers, CopyBoundedTrapsOnNullDestinationOrZeroCapacity) {
  WCHAR out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(CopyBounded(out, 0, W(u"abc"), 0), 0u);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(CopyBounded(nullptr, 4, W(u"abc"), 0), 0u);
  EXPECT_EQ(SimBreakpointCount(), 2);
}

TEST_F(TextHelpers, CompareNoCaseIgnoresCaseOfWholeTexts) {
  EXPECT_EQ(CompareNoCase(W(u"-H"), W(u"-h")), 0);
  EXPECT_EQ(CompareNoCase(W(u"SORVANEL"), W(u"sorvanel")), 0);
  EXPECT_EQ(CompareNoCase(W(u".EXE"), W(u".exe")), 0);
  EXPECT_EQ(CompareNoCase(W(u"\u00c4"), W(u"\u00e4")), 0);
  EXPECT_NE(CompareNoCase(W(u"-h "), W(u"-h")), 0);
  EXPECT_NE(CompareNoCase(W(u"low"), W(u"lowest")), 0);
}

TEST_F(TextHelpers, CompareNoCaseFailingCallIsUnequal) {
  SimFailCall("CompareStringW", 1, ERROR_INVALID_PARAMETER);
  EXPECT_NE(CompareNoCase(W(u"a"), W(u"a")), 0);
}

}  // namespace
