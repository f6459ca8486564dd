// The wildcard matcher: the rules case by case, the same answers as the recursive reference
// on every small pattern and text and on random and adversarial pairs, and a bound on the
// work for the patterns that make the reference explode.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sim/sim.h"
#include "unit/wildcard_reference.h"
#include "volumes/wildcard.h"

namespace {

LPCWSTR W(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

struct MatchCase {
  const char16_t* pattern;
  const char16_t* text;
  bool result;          // with case ignored
  bool resultWithCase;  // with case kept
};

void PrintTo(const MatchCase& c, std::ostream* out) {
  *out << "pattern \"" << SimUtf8(c.pattern) << "\" text \"" << SimUtf8(c.text) << '"';
}

class MatchWildcardTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchWildcardTest, FollowsTheRules) {
  SimReset();
  const MatchCase& c = GetParam();
  EXPECT_EQ(MatchWildcard(W(c.pattern), W(c.text), true), c.result);
  EXPECT_EQ(MatchWildcard(W(c.pattern), W(c.text), false), c.resultWithCase);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatchWildcardTest,
    ::testing::Values(
        MatchCase{u"", u"", true, true},
        MatchCase{u"*", u"", true, true},
        MatchCase{u"?", u"", false, false},
        MatchCase{u"", u"a", false, false},
        MatchCase{u"a", u"", false, false},
        MatchCase{u"C:", u"c:", true, false},
        MatchCase{u"?:", u"D:", true, true},
        MatchCase{u"?", u"ab", false, false},
        MatchCase{u"C*", u"C", true, true},
        MatchCase{u"C*", u"C:", true, true},
        MatchCase{u"*:", u"C:", true, true},
        MatchCase{u"*a", u"banana", true, true},
        MatchCase{u"*A", u"banana", true, false},
        MatchCase{u"a*b*c", u"aXbYc", true, true},
        MatchCase{u"a*b*c", u"aXbY", false, false},
        MatchCase{u"C:", u"C:\\", false, false},
        MatchCase{u"C:\\", u"C:", false, false},
        MatchCase{u"D:\\Data\\*", u"D:\\Data\\Mount", true, true},
        MatchCase{u"d:\\data\\m?unt", u"D:\\Data\\Mount", true, false},
        MatchCase{u"C:?", u"C:", false, false},
        MatchCase{u"C:*", u"C:", true, true},
        // A "?" matches a literal question mark: a volume name spelled out matches itself.
        MatchCase{u"\\\\?\\Volume{1}\\", u"\\\\?\\Volume{1}\\", true, true},
        MatchCase{u"\\\\?\\VOLUME{1}\\", u"\\\\?\\Volume{1}\\", true, false},
        MatchCase{u"\\\\?\\Volume{1}", u"\\\\?\\Volume{1}\\", false, false},
        MatchCase{u"\\\\?\\Volume{1}*", u"\\\\?\\Volume{1}\\", true, true},
        // A "?" or "*" right after a star keeps its wildcard meaning.
        MatchCase{u"a**", u"a", true, true},
        MatchCase{u"a**", u"abc", true, true},
        MatchCase{u"**", u"", true, true},
        MatchCase{u"*?", u"", false, false},
        MatchCase{u"*?", u"x", true, true},
        MatchCase{u"*?", u"xyz", true, true},
        MatchCase{u"*??", u"x", false, false},
        MatchCase{u"*?*", u"x", true, true},
        MatchCase{u"*?a", u"ba", true, true},
        MatchCase{u"*?a", u"a", false, false},
        MatchCase{u"a*?*b", u"ab", false, false},
        MatchCase{u"a*?*b", u"axb", true, true},
        // Backtracking: the star has to give back or take more than its first choice.
        MatchCase{u"*ab", u"aab", true, true},
        MatchCase{u"*aab", u"aaab", true, true},
        MatchCase{u"a*a", u"a", false, false},
        MatchCase{u"a*a", u"aa", true, true},
        MatchCase{u"*a*b", u"xaxxbxb", true, true},
        MatchCase{u"*a*b", u"xaxxbxa", false, false},
        MatchCase{u"*.txt", u"a.txt.txt", true, true},
        MatchCase{u"*/*", u"/mnt", true, true},
        // Case beyond ASCII goes through the same upper-casing.
        MatchCase{u"\u00e4*", u"\u00c4rger", true, false},
        MatchCase{u"*\u03c3", u"\u039b\u039f\u0393\u039f\u03a3", true, false}));

// Every pattern of up to five characters over a, b, ? and * against every text of up to
// five characters over a, b, A and ?: the two matchers agree on all of them, both ways.
TEST(MatchWildcardDifferential, AgreesWithTheReferenceOnEverySmallPair) {
  const char16_t patternAlphabet[] = u"ab?*";
  const char16_t textAlphabet[] = u"abA?";
  std::vector<std::u16string> patterns{u""};
  std::vector<std::u16string> texts{u""};
  for (size_t begin = 0, length = 1; length <= 5; ++length) {
    size_t end = patterns.size();
    for (size_t i = begin; i < end; ++i) {
      for (int k = 0; k < 4; ++k) patterns.push_back(patterns[i] + patternAlphabet[k]);
    }
    begin = end;
  }
  for (size_t begin = 0, length = 1; length <= 5; ++length) {
    size_t end = texts.size();
    for (size_t i = begin; i < end; ++i) {
      for (int k = 0; k < 4; ++k) texts.push_back(texts[i] + textAlphabet[k]);
    }
    begin = end;
  }
  long compared = 0, matched = 0;
  for (const std::u16string& pattern : patterns) {
    SimReset();  // keeps the machine's call log short
    for (const std::u16string& text : texts) {
      for (bool ignoreCase : {true, false}) {
        bool expected = reference::Match(W(pattern), W(text), ignoreCase);
        ASSERT_EQ(MatchWildcard(W(pattern), W(text), ignoreCase), expected)
            << "pattern \"" << SimUtf8(pattern) << "\" text \"" << SimUtf8(text) << "\" "
            << (ignoreCase ? "ignoring case" : "keeping case");
        ++compared;
        matched += expected ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(compared, 1365L * 1365L * 2L);
  EXPECT_GT(matched, compared / 50);  // the set holds plenty of matches, not only misses
}

// Longer random pairs, with texts made to contain the pattern's letters often, and star-heavy
// patterns against long runs of one letter.
TEST(MatchWildcardDifferential, AgreesWithTheReferenceOnRandomAndAdversarialPairs) {
  std::mt19937 random(20240611);
  const char16_t patternAlphabet[] = u"aAbB?*";
  const char16_t textAlphabet[] = u"aAbB?*";
  long compared = 0, matched = 0;
  auto check = [&](const std::u16string& pattern, const std::u16string& text, bool ignoreCase) {
    unsigned long long steps = 0;
    bool expected = reference::Match(W(pattern), W(text), ignoreCase, &steps);
    ASSERT_EQ(MatchWildcard(W(pattern), W(text), ignoreCase), expected)
        << "pattern \"" << SimUtf8(pattern) << "\" text \"" << SimUtf8(text) << "\"";
    ++compared;
    matched += expected ? 1 : 0;
  };
  for (int round = 0; round < 40000; ++round) {
    if (round % 500 == 0) SimReset();
    std::u16string pattern, text;
    size_t patternLength = random() % 13;
    size_t textLength = random() % 17;
    for (size_t i = 0; i < patternLength; ++i) pattern += patternAlphabet[random() % 6];
    for (size_t i = 0; i < textLength; ++i) text += textAlphabet[random() % 6];
    check(pattern, text, random() % 2 == 0);
    if (HasFatalFailure()) return;
  }
  // Stars between single letters against long runs: the pairs that make backtracking work.
  for (int stars = 1; stars <= 4; ++stars) {
    for (size_t length = 0; length <= 40; ++length) {
      SimReset();
      std::u16string pattern;
      for (int i = 0; i < stars; ++i) pattern += u"*a";
      std::u16string run(length, u'a');
      check(pattern, run, true);
      check(pattern + u"*b", run, true);
      check(pattern + u"*b", run + u"b", true);
      check(pattern + u"?", run, false);
      check(u"*" + pattern + u"**", run, false);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(matched, compared / 20);
  EXPECT_LT(matched, compared - compared / 20);
}

// The patterns that make the plain recursion run for ages are answered with at most one
// comparison per pattern character and text character, two CharUpperW calls each.
TEST(MatchWildcardBound, StarHeavyPatternsCostAtMostPatternTimesText) {
  struct Case {
    std::u16string pattern;
    std::u16string text;
    bool result;
  };
  std::u16string run(259, u'a');
  std::u16string almost = run.substr(0, 258) + u"b";
  const Case cases[] = {
      {u"*a*a*a*a*a*a*a*a*a*a*b", run, false},
      {u"*a*a*a*a*a*a*a*a*a*a*b", almost, true},
      {u"*?*?*?*?*?*?*?*?*?*?*b", run, false},
      {u"a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*ab", run, false},
      {u"*aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", run, false},
  };
  for (const Case& c : cases) {
    SimReset();
    EXPECT_EQ(MatchWildcard(W(c.pattern), W(c.text), true), c.result) << SimUtf8(c.pattern);
    unsigned calls = SimCallCount("CharUpperW");
    EXPECT_LE(calls, 2u * c.pattern.size() * (c.text.size() + 1)) << SimUtf8(c.pattern);
  }
}

TEST(MatchWildcardBound, ComparesWithCharUpperWOnlyWhenCaseIsIgnored) {
  SimReset();
  EXPECT_TRUE(MatchWildcard(W(u"ab?d"), W(u"abcd"), false));
  EXPECT_EQ(SimCallCount("CharUpperW"), 0u);
  EXPECT_TRUE(MatchWildcard(W(u"ab?d"), W(u"ABCD"), true));
  EXPECT_EQ(SimCallCount("CharUpperW"), 6u);  // two per compared letter: a, b and d
}

}  // namespace
