// The rule that keeps a repeated error out of the event log for an hour, on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/repeat_filter.h"

namespace {

struct Step {
  const char16_t* text;
  DWORD tick;
  DWORD turn;  // 0: held back; else 1 + the repeats held back before it
};

TEST(RepeatFilter, ATextIsLoggedOnceAnHourWithTheRepeatsHeldBack) {
  const DWORD hour = 60 * 60 * 1000;
  const char16_t* more[16] = {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8",
                              u"9", u"10", u"11", u"12", u"13", u"14", u"15", u"16"};
  struct {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"held within the hour, logged with the count at its end",
       {{u"A", 1000, 1}, {u"A", 2000, 0}, {u"B", 2500, 1}, {u"A", 1000 + hour - 1, 0},
        {u"A", 1000 + hour, 3}, {u"A", 1000 + hour + 1, 0}}},
      {"across the wrap of the tick count", {{u"A", 0xFFFFFFFFu - 10, 1}, {u"A", 5, 0}}},
      // Seen expired once, a slot stays so, also when the tick count has come round again.
      {"an expired text is not fresh again 49.7 days later",
       {{u"B", 0, 1}, {u"A", 1, 1}, {u"C", hour + 1, 1}, {u"A", 101, 1}}},
      {"a long text differs from its beginning",
       {{u"A long text", 0, 1}, {u"A long", 1, 1}, {u"A long text", 2, 0}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    RepeatFilter filter = {};
    for (const Step& step : c.steps) {
      EXPECT_EQ(TakeLogTurn(&filter, step.text, step.tick), step.turn) << std::u16string(step.text).size();
    }
  }
  // Sixteen texts fill the table; a seventeenth takes the place of the one logged longest
  // ago, which is then new again, while the others are still held back.
  RepeatFilter filter = {};
  EXPECT_EQ(TakeLogTurn(&filter, u"0", 0), 1u);
  for (DWORD i = 0; i < 15; ++i) EXPECT_EQ(TakeLogTurn(&filter, more[i], 10 + i), 1u);
  EXPECT_EQ(TakeLogTurn(&filter, more[15], 100), 1u);
  EXPECT_EQ(TakeLogTurn(&filter, u"0", 101), 1u);
  EXPECT_EQ(TakeLogTurn(&filter, more[15], 102), 0u);
  EXPECT_EQ(TakeLogTurn(&filter, more[1], 103), 0u);
}

}  // namespace
