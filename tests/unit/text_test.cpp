#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "sim/sim.h"
#include "support/text.h"
#include "unit/child_run.h"

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

// Places text, without a terminator, so that it ends right before a page that cannot be
// read: a read past its last character stops the process.
const WCHAR* AtPageEnd(const char16_t* text) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (pages == MAP_FAILED || mprotect(pages + page, page, PROT_NONE) != 0) return nullptr;
  size_t length = std::char_traits<char16_t>::length(text);
  WCHAR* start = reinterpret_cast<WCHAR*>(pages + page) - length;
  for (size_t i = 0; i < length; ++i) start[i] = text[i];
  return start;
}

// A source limit lets the caller copy a piece of a longer text, or a text that has no
// terminator at all: nothing beyond the limit is read.
TEST(CopyBounded, ReadsNoFurtherThanTheSourceLimit) {
  struct Case {
    const char16_t* source;
    DWORD capacity;
    DWORD limit;
    const char16_t* expected;
  } cases[] = {
      {u"abc", 10, 3, u"abc"},
      {u"a", 2, 1, u"a"},
      {u"abcdef", 260, 6, u"abcdef"},
      {u"abcdef", 4, 6, u"abc"},
  };
  for (const Case& c : cases) {
    ChildScenario scenario;
    scenario.body = [&c] {
      const WCHAR* source = AtPageEnd(c.source);
      if (!source) return 100;
      WCHAR out[300];
      DWORD n = CopyBounded(out, c.capacity, source, c.limit);
      return std::u16string(reinterpret_cast<const char16_t*>(out)) == c.expected &&
                     n == std::char_traits<char16_t>::length(c.expected)
                 ? 0
                 : 1;
    };
    ChildRun run = RunInChild(scenario);
    SCOPED_TRACE(SimUtf8(c.source) + " limit " + std::to_string(c.limit));
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 0);
  }
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

// The invariant locale and then English both failing: unequal.
TEST_F(TextHelpers, CompareNoCaseFailingCallIsUnequal) {
  SimFailCall("CompareStringW", 1, ERROR_INVALID_PARAMETER);
  EXPECT_NE(CompareNoCase(W(u"a"), W(u"a")), 0);
}

}  // namespace
