#include <gtest/gtest.h>

#include <string>

#include "sim/sim.h"
#include "support/output.h"
#include "unit/child_run.h"

namespace {

// Output handles and the code-page switch are process state: each case runs in a child that
// starts the way ProgramMain does.
ChildRun RunOutput(std::function<void()> setup, std::function<int()> body) {
  ChildScenario scenario;
  scenario.setup = setup;
  scenario.body = [body] {
    if (!FindOutputHandles(&OutputHandles.input, &OutputHandles.output, &OutputHandles.error)) return 100;
    UseConsoleOutputCodePage(true);
    return body();
  };
  return RunInChild(scenario);
}

const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

bool WriteLine(HANDLE handle, bool lineEnd, const WCHAR* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  bool ok = WriteTextLine(handle, format, arguments, lineEnd);
  va_end(arguments);
  return ok;
}

TEST(Output, ConsoleGetsUtf16TextWithLineEnd) {
  ChildRun run = RunOutput(nullptr, [] {
    ShowError(W(u"Cannot open %s (%s)"), W(u"\\\\?\\Volume{1}\\"), W(u"5 - Access is denied"));
    ShowNote(W(u"Flushing %s%s"), W(u"X"), W(u" (C:\\)"));
    return 0;
  });
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.errConsole, u"Cannot open \\\\?\\Volume{1}\\ (5 - Access is denied)\r\n");
  EXPECT_EQ(run.outConsole, u"Flushing X (C:\\)\r\n");
  EXPECT_TRUE(run.errBytes.empty());
  EXPECT_TRUE(run.boxes.empty());
}

struct CodePageCase {
  UINT codePage;
  const char16_t* message;
  std::string bytes;
};

TEST(Output, RedirectedTextIsWrittenInTheConsoleCodePage) {
  const CodePageCase cases[] = {
      {437, u"caf\u00e9 \u00c4", std::string("caf\x82 \x8e\r\n")},
      {437, u"\u20ac5", std::string("?5\r\n")},  // the euro sign is not in 437
      {437, u"\U0001F600", std::string("?\r\n")},
      {65001, u"caf\u00e9 \u20ac", std::string("caf\xc3\xa9 \xe2\x82\xac\r\n")},
      {65001, u"\U0001F600", std::string("\xf0\x9f\x98\x80\r\n")},
      {1252, u"\u20ac", std::string("\x80\r\n")},
      // Without a console the code page is 0, which the conversion reads as the ANSI page.
      {0, u"\u20ac\u00e9", std::string("\x80\xe9\r\n")},
  };
  for (const CodePageCase& c : cases) {
    ChildRun run = RunOutput(
        [&] {
          SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Redirected);
          SimSetConsoleOutputCP(c.codePage);
        },
        [&] {
          ShowError(W(u"%s"), W(c.message));
          return 0;
        });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.errBytes, c.bytes) << "code page " << c.codePage;
    EXPECT_TRUE(run.errConsole.empty());
  }
}

TEST(Output, ConsoleAndPipeAtTheSameTime) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Redirected); },
                           [] {
                             ShowNote(W(u"note \u00e9"));
                             ShowError(W(u"error \u00e9"));
                             return 0;
                           });
  EXPECT_EQ(run.outConsole, u"note \u00e9\r\n");
  EXPECT_EQ(run.errBytes, std::string("error \x82\r\n"));
}

TEST(Output, LongMessagesAreCutAt1021CharactersBeforeTheLineEnd) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); },
                           [] {
                             std::u16string text(1500, u'a');
                             ShowNote(W(u"%s"), W(text.c_str()));
                             ShowError(W(u"%s"), W(text.c_str()));
                             return 0;
                           });
  EXPECT_EQ(run.outBytes, std::string(1021, 'a') + "\r\n");
  EXPECT_EQ(run.errConsole, std::u16string(1021, u'a') + u"\r\n");
}

struct CutCase {
  size_t length;
  bool lineEnd;
  size_t kept;
};

// A line holds 1023 characters at most, its line end included.
TEST(Output, LinesAreCutAtTheEdgeOfTheLineBuffer) {
  const CutCase cases[] = {
      {1020, true, 1020}, {1021, true, 1021}, {1022, true, 1021}, {1023, true, 1021},
      {1022, false, 1022}, {1023, false, 1023}, {1024, false, 1023}, {2000, false, 1023},
  };
  for (const CutCase& c : cases) {
    for (SimStream stream : {SimStream::Console, SimStream::Redirected}) {
      ChildRun run = RunOutput([stream] { SimSetStdHandle(STD_OUTPUT_HANDLE, stream); },
                               [c] {
                                 std::u16string text(c.length, u'c');
                                 return WriteLine(OutputHandles.output, c.lineEnd, W(u"%s"), W(text.c_str())) ? 0 : 1;
                               });
      SCOPED_TRACE(std::to_string(c.length) + (c.lineEnd ? " with" : " without") + " line end" +
                   (stream == SimStream::Console ? ", console" : ", redirected"));
      ASSERT_TRUE(run.finished) << run.failure;
      EXPECT_EQ(run.exitCode, 0);
      std::string expected = std::string(c.kept, 'c') + (c.lineEnd ? "\r\n" : "");
      EXPECT_EQ(run.Out(), expected);
    }
  }
}

TEST(Output, AMessageBoxHoldsUpTo511Characters) {
  const size_t lengths[][2] = {{510, 510}, {511, 511}, {512, 511}};
  for (const auto& c : lengths) {
    ChildRun run = RunOutput([] { SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None); },
                             [c] {
                               std::u16string text(c[0], u'm');
                               ShowError(W(u"%s"), W(text.c_str()));
                               return 0;
                             });
    ASSERT_EQ(run.boxes.size(), 1u) << c[0];
    EXPECT_EQ(run.boxes[0].text, std::u16string(c[1], u'm')) << c[0];
  }
}

TEST(Output, WithoutLineEndTheLineHoldsUpTo1023Characters) {
  ChildRun run = RunOutput(nullptr, [] {
    std::u16string text(1500, u'b');
    return WriteLine(OutputHandles.output, false, W(u"%s"), W(text.c_str())) ? 0 : 1;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.outConsole, std::u16string(1023, u'b'));
}

TEST(Output, EmptyMessagesWriteOnlyTheLineEndOrNothing) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); },
                           [] {
                             bool withEnd = WriteLine(OutputHandles.output, true, W(u""));
                             unsigned writes = SimCallCount("WriteFile");
                             bool withoutEnd = WriteLine(OutputHandles.output, false, W(u""));
                             bool noWrite = SimCallCount("WriteFile") == writes;
                             return (withEnd ? 1 : 0) + (withoutEnd ? 2 : 0) + (noWrite ? 4 : 0);
                           });
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.outBytes, "\r\n");
}

// Every line asks whether its handle is a console, an empty one too, before anything else
// is decided.
TEST(Output, EveryLineAsksWhetherItsHandleIsAConsole) {
  for (SimStream stream : {SimStream::Console, SimStream::Redirected}) {
    ChildRun run = RunOutput([stream] { SimSetStdHandle(STD_OUTPUT_HANDLE, stream); },
                             [] {
                               WriteLine(OutputHandles.output, false, W(u""));
                               unsigned afterEmpty = SimCallCount("GetConsoleMode");
                               WriteLine(OutputHandles.output, true, W(u"x"));
                               unsigned afterLine = SimCallCount("GetConsoleMode");
                               return static_cast<int>(afterEmpty * 10 + afterLine);
                             });
    EXPECT_EQ(run.exitCode, 12) << (stream == SimStream::Console ? "console" : "redirected");
    EXPECT_EQ(run.Out(), "x\r\n");
  }
}

struct CodePageChange {
  UINT measured;   // the console's code page when the line is measured
  UINT converted;  // and when it is converted, a moment later
  bool written;
  std::string bytes;
};

// Each conversion asks the console for its code page: the measurement and the conversion
// each once, and again for the next line. Exactly the converted bytes are written.
TEST(Output, TheCodePageIsAskedForTheMeasureAndAgainForTheConversion) {
  const CodePageChange cases[] = {
      {437, 437, true, "\x82\r\n"},
      {65001, 65001, true, "\xc3\xa9\r\n"},
      {65001, 437, true, "\x82\r\n"},  // room for four bytes, three converted and written
      {437, 65001, false, ""},             // room for three bytes, four needed: no line at all
  };
  for (const CodePageChange& c : cases) {
    ChildRun run = RunOutput(
        [c] {
          SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected);
          SimSetConsoleOutputCP(c.measured);
          SimOnCall("GetConsoleOutputCP", 2, [c] { SimSetConsoleOutputCP(c.converted); });
        },
        [] {
          bool ok = WriteLine(OutputHandles.output, true, W(u"\u00e9"));
          return (ok ? 1 : 0) + 10 * static_cast<int>(SimCallCount("GetConsoleOutputCP")) +
                 100 * static_cast<int>(SimCallCount("WideCharToMultiByte"));
        });
    SCOPED_TRACE(std::to_string(c.measured) + " then " + std::to_string(c.converted));
    EXPECT_EQ(run.exitCode, (c.written ? 1 : 0) + 20 + 200);
    EXPECT_EQ(run.outBytes, c.bytes);
  }
  // Nothing is kept from one line to the next.
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); },
                           [] {
                             ShowNote(W(u"\u00e9"));
                             SimSetConsoleOutputCP(65001);
                             ShowNote(W(u"\u00e9"));
                             return static_cast<int>(SimCallCount("GetConsoleOutputCP"));
                           });
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.outBytes, "\x82\r\n\xc3\xa9\r\n");
}

TEST(Output, WithoutErrorHandleErrorsGoToAMessageBoxCutAt511) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None); },
                           [] {
                             std::u16string text(700, u'x');
                             ShowError(W(u"%s"), W(text.c_str()));
                             ShowError(W(u"Cannot init SID (%s)"), W(u"5 - Access is denied"));
                             return 0;
                           });
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[0].text, std::u16string(511, u'x'));
  EXPECT_EQ(run.boxes[0].caption, u"Volume file buffers flusher service");
  EXPECT_EQ(run.boxes[0].type, 0x00200010u);
  EXPECT_EQ(run.boxes[1].text, u"Cannot init SID (5 - Access is denied)");
  EXPECT_TRUE(run.errConsole.empty());
}

TEST(Output, StartupHandlesWithInvalidErrorHandleUseMessageBoxes) {
  ChildRun run = RunOutput(
      [] { SimUseStartupStdHandles(SimStream::Console, SimStream::Console, SimStream::Invalid); },
      [] {
        ShowError(W(u"boom"));
        ShowNote(W(u"fine"));
        return static_cast<int>(SimCallCount("GetStdHandle"));
      });
  EXPECT_EQ(run.exitCode, 0);  // the start-up record is used and GetStdHandle is not asked
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, u"boom");
  EXPECT_EQ(run.outConsole, u"fine\r\n");
}

struct StartupRecordCase {
  SimStream input, output, error;
};

// With STARTF_USESTDHANDLES the start-up record is the answer: an invalid handle in it is
// none, and GetStdHandle is not asked.
TEST(Output, TheStartupRecordsHandlesAreTakenAsTheyAre) {
  const StartupRecordCase cases[] = {
      {SimStream::Invalid, SimStream::Invalid, SimStream::Invalid},
      {SimStream::Invalid, SimStream::Console, SimStream::Redirected},
      {SimStream::Console, SimStream::Invalid, SimStream::Console},
      {SimStream::None, SimStream::Redirected, SimStream::None},
  };
  for (const StartupRecordCase& c : cases) {
    SimReset();
    SimUseStartupStdHandles(c.input, c.output, c.error);
    HANDLE found[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    EXPECT_TRUE(FindOutputHandles(&found[0], &found[1], &found[2]));
    const SimStream kinds[3] = {c.input, c.output, c.error};
    for (int i = 0; i < 3; ++i) {
      bool present = kinds[i] == SimStream::Console || kinds[i] == SimStream::Redirected;
      EXPECT_EQ(found[i] != nullptr, present) << "handle " << i;
      EXPECT_NE(found[i], INVALID_HANDLE_VALUE) << "handle " << i;
    }
    EXPECT_EQ(SimCallCount("GetStdHandle"), 0u);
  }
}

TEST(Output, WithoutOutputHandleNotesVanishAndErrorsStillShow) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::None); },
                           [] {
                             ShowNote(W(u"hidden"));
                             ShowError(W(u"shown"));
                             return 0;
                           });
  EXPECT_TRUE(run.outConsole.empty());
  EXPECT_TRUE(run.outBytes.empty());
  EXPECT_EQ(run.errConsole, u"shown\r\n");
}

TEST(Output, FindingHandlesFailsWhenAnyStandardHandleIsInvalid) {
  const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (DWORD invalid : which) {
    SimReset();
    SimSetStdHandle(invalid, SimStream::Invalid);
    HANDLE in = reinterpret_cast<HANDLE>(1), out = in, err = in;
    EXPECT_FALSE(FindOutputHandles(&in, &out, &err));
    EXPECT_EQ(in, reinterpret_cast<HANDLE>(1));  // nothing stored
    EXPECT_EQ(out, reinterpret_cast<HANDLE>(1));
    EXPECT_EQ(err, reinterpret_cast<HANDLE>(1));
    EXPECT_EQ(SimCallCount("GetStdHandle"), 3u);  // all three are always asked
  }
  SimReset();
  SimSetStdHandle(STD_INPUT_HANDLE, SimStream::None);
  HANDLE in = reinterpret_cast<HANDLE>(1), out = nullptr;
  EXPECT_TRUE(FindOutputHandles(&in, &out, nullptr));
  EXPECT_EQ(in, nullptr);
  EXPECT_NE(out, nullptr);
}

TEST(Output, TheLastErrorSurvivesEveryPath) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); },
                           [] {
                             int failures = 0;
                             SetLastError(1234);
                             ShowError(W(u"to the console"));
                             failures += GetLastError() != 1234;
                             SetLastError(4321);
                             ShowNote(W(u"through a conversion"));
                             failures += GetLastError() != 4321;
                             SimFailCall("WriteFile", SimCallCount("WriteFile") + 1, ERROR_BROKEN_PIPE);
                             SetLastError(77);
                             ShowNote(W(u"failing write"));
                             failures += GetLastError() != 77;
                             OutputHandles.error = nullptr;
                             SetLastError(88);
                             ShowError(W(u"message box"));
                             failures += GetLastError() != 88;
                             return failures;
                           });
  EXPECT_EQ(run.exitCode, 0);
}

TEST(Output, SwitchedOffRedirectedTextIsUtf16LittleEndian) {
  ChildScenario scenario;
  scenario.setup = [] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); };
  scenario.body = [] {
    FindOutputHandles(&OutputHandles.input, &OutputHandles.output, &OutputHandles.error);
    ShowNote(W(u"A\u00e9"));
    return 0;
  };
  ChildRun run = RunInChild(scenario);
  EXPECT_EQ(run.outBytes, std::string("A\0\xe9\0\r\0\n\0", 8));
}

struct WriteFault {
  const char* function;
  unsigned nth;
  SimStream stream;
  bool codePage = true;  // off: redirected text goes out as UTF-16
};

TEST(Output, FailedConversionOrWriteReturnsFalseAndShowsNothingElse) {
  const WriteFault faults[] = {
      {"WriteConsoleW", 1, SimStream::Console},
      {"WideCharToMultiByte", 1, SimStream::Redirected},
      {"WideCharToMultiByte", 2, SimStream::Redirected},
      {"WriteFile", 1, SimStream::Redirected},
      {"WriteFile", 1, SimStream::Redirected, false},
  };
  for (const WriteFault& fault : faults) {
    bool codePage = fault.codePage;
    ChildRun run = RunOutput(
        [&] {
          SimSetStdHandle(STD_OUTPUT_HANDLE, fault.stream);
          SimFailCall(fault.function, fault.nth, ERROR_INVALID_HANDLE);
        },
        [codePage] {
          UseConsoleOutputCodePage(codePage);
          bool ok = WriteLine(OutputHandles.output, true, W(u"text"));
          ShowError(W(u"after"));
          return ok ? 1 : 0;
        });
    EXPECT_EQ(run.exitCode, 0) << fault.function;
    EXPECT_TRUE(run.outConsole.empty()) << fault.function;
    EXPECT_TRUE(run.outBytes.empty()) << fault.function;
    EXPECT_EQ(run.errConsole, u"after\r\n");
    EXPECT_TRUE(run.boxes.empty());
  }
}

TEST(Output, AFailedConsoleQueryTakesTheRedirectedPath) {
  ChildRun run = RunOutput([] { SimFailCall("GetConsoleMode", 1, ERROR_INVALID_HANDLE); },
                           [] {
                             ShowNote(W(u"x"));
                             return 0;
                           });
  EXPECT_EQ(run.outBytes, "x\r\n");
  EXPECT_TRUE(run.outConsole.empty());
}

TEST(Output, NoOutputPathTakesHeapMemory) {
  ChildRun run = RunOutput([] { SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Redirected); },
                           [] {
                             ShowError(W(u"%s"), W(u"a message"));
                             ShowNote(W(u"note"));
                             OutputHandles.error = nullptr;
                             ShowError(W(u"box"));
                             return static_cast<int>(SimCallCount("HeapAlloc"));
                           });
  EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
