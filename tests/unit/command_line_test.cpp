#include <gtest/gtest.h>

#include <string>

#include "sim/sim.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

const char16_t ExpectedHelp[] =
    u"\r\nSorvanel 1.5.2.300\r\n\r\nFlushes file buffers on fixed/removable/remote volumes\r\n"
    u"(Administrator/operator rights are required).\r\n\r\nCommand line:\r\n"
    u"[<options>] [<actions>] [<volumes>]\r\n\r\nOptions:\r\n-v - verbose\r\n\r\nActions:\r\n"
    u"-i - install as a service (.ini file can be used)\r\n-r - remove the service\r\n"
    u"-f - force the service to perform the immediate flush\r\n\r\nVolumes:\r\n"
    u"A list of volume name/path templates (\"?\" and \"*\" wildcards allowed)\r\n\r\n";

void ExpectClean(const ChildRun& run) {
  EXPECT_TRUE(run.exitedThroughExitProcess);
  EXPECT_EQ(run.liveHeapBlocks, 0);
  EXPECT_EQ(run.liveSids, 0);
}

TEST(CommandLine, HelpSwitchesAloneShowTheHelpAndExitOne) {
  const char16_t* arguments[] = {u"-?", u"-h", u"-H", u"  -h  ", u"\t-?\t"};
  for (const char16_t* a : arguments) {
    ChildRun run = RunProgram(a);
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 1) << SimUtf8(a);
    EXPECT_EQ(run.outConsole, std::u16string(ExpectedHelp)) << SimUtf8(a);
    EXPECT_TRUE(run.errConsole.empty());
    EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
    ExpectClean(run);
  }
}

TEST(CommandLine, RedirectedHelpIsCodePageBytesWithoutBom) {
  ChildRun run = RunProgram(u"-h", [] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); });
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.outBytes, SimUtf8(ExpectedHelp));
  EXPECT_EQ(run.outBytes.find('\0'), std::string::npos);
}

struct OptionError {
  const char16_t* arguments;
  const char* message;
};

TEST(CommandLine, OptionErrorsExitTwoWithTheirMessage) {
  const OptionError cases[] = {
      {u"-x", "Invalid option \"x\", use -? for help\r\n"},
      {u"-V", "Invalid option \"V\", use -? for help\r\n"},
      {u"-v -Z C:", "Invalid option \"Z\", use -? for help\r\n"},
      {u"-", "No option after \"-\", use -? for help\r\n"},
      {u"-v -", "No option after \"-\", use -? for help\r\n"},
      {u"-v -?", "No option after \"-\", use -? for help\r\n"},
      {u"-1", "No option after \"-\", use -? for help\r\n"},
      {u"-h -v", "Invalid option \"h\", use -? for help\r\n"},
      {u"-\u00e9", "No option after \"-\", use -? for help\r\n"},
      {u"-i C:", "Extra charactes in the command line: \"C:\"\r\n"},
      {u"-r  C: D:", "Extra charactes in the command line: \"C: D:\"\r\n"},
      {u"-f x", "Extra charactes in the command line: \"x\"\r\n"},
      {u"-v -f -v \"a b\"", "Extra charactes in the command line: \"\"a b\"\"\r\n"},
      // Letters are not combined: the text goes on two characters after the "-".
      {u"-fv", "Extra charactes in the command line: \"v\"\r\n"},
      {u"-iv", "Extra charactes in the command line: \"v\"\r\n"},
      {u"-f-v x", "Extra charactes in the command line: \"x\"\r\n"},
      {u"-v-x", "Invalid option \"x\", use -? for help\r\n"},
      {u"-v-", "No option after \"-\", use -? for help\r\n"},
      {u"-v-i-", "No option after \"-\", use -? for help\r\n"},
      {u"-\t-v", "No option after \"-\", use -? for help\r\n"},
      {u"-f x\t ", "Extra charactes in the command line: \"x\"\r\n"},
  };
  for (const OptionError& c : cases) {
    ChildRun run = RunProgram(c.arguments);
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 2) << SimUtf8(c.arguments);
    EXPECT_EQ(run.Err(), c.message) << SimUtf8(c.arguments);
    EXPECT_TRUE(run.outConsole.empty());
    ExpectClean(run);
  }
}

struct NotifyLine {
  const char16_t* arguments;
  bool notifies;
};

// Which command lines reach the -f client (no service runs, so it exits with 6).
TEST(CommandLine, OptionsMayFollowEachOtherAndBlanksAroundThemDoNotCount) {
  const NotifyLine cases[] = {
      {u"-f", true},
      {u"-f \t \t", true},
      {u"\t -f", true},
      {u"-v-f", true},
      {u"-f-v", true},
      {u"-f -f -v -f", true},
      // -v and the template "f", not -v -f.
      {u"-vf", false},
  };
  for (const NotifyLine& c : cases) {
    ChildRun run = RunProgram(c.arguments);
    SCOPED_TRACE(SimUtf8(c.arguments));
    ASSERT_TRUE(run.finished) << run.failure;
    bool opened = false;
    for (const std::string& call : run.callLog) opened |= call == "OpenEventW";
    EXPECT_EQ(opened, c.notifies);
    if (c.notifies) {
      EXPECT_EQ(run.exitCode, 6);
      EXPECT_EQ(run.Err(), "The service is not running\r\n");
    } else {
      EXPECT_EQ(run.Err().find("option"), std::string::npos) << run.Err();
      EXPECT_EQ(run.Err().find("Extra"), std::string::npos) << run.Err();
    }
  }
}

TEST(CommandLine, ArgumentsAreCutAt255Characters) {
  // Cut at 255, "-h" followed by blanks is the whole text and shows the help.
  std::u16string cut = u"-h" + std::u16string(253, u' ') + u"xy";
  ChildRun run = RunProgram(cut);
  EXPECT_EQ(run.exitCode, 1);
  // One character shorter, the "x" stays and makes -h an ordinary, invalid, option.
  std::u16string kept = u"-h" + std::u16string(252, u' ') + u"xy";
  ChildRun longer = RunProgram(kept);
  EXPECT_EQ(longer.exitCode, 2);
  EXPECT_EQ(longer.Err(), "Invalid option \"h\", use -? for help\r\n");
  // The same edge before an action: the cut text after -f is blank.
  ChildRun action = RunProgram(u"-f" + std::u16string(253, u' ') + u"x");
  EXPECT_EQ(action.exitCode, 6);
  EXPECT_EQ(action.Err(), "The service is not running\r\n");
  ChildRun extra = RunProgram(u"-f" + std::u16string(252, u' ') + u"x");
  EXPECT_EQ(extra.exitCode, 2);
  EXPECT_EQ(extra.Err(), "Extra charactes in the command line: \"x\"\r\n");
}

TEST(CommandLine, ProgramNameSkipping) {
  struct Case {
    const char16_t* line;
    const char16_t* arguments;
  } cases[] = {
      {u"\"C:\\Program Files\\S\\sorvanel.exe\" -v C:", u"-v C:"},
      {u"C:\\Program Files\\S\\sorvanel.exe -v", u"Files\\S\\sorvanel.exe -v"},
      {u"sorvanel.exe \t  -h", u"-h"},
      {u"sorvanel.exe\t-h", u""},
      {u"sorvanel.exe", u""},
      {u"\"C:\\no closing quote -h", u""},
      {u"\"\" -h", u"-h"},
      {u"", u""},
      {u"a\"b -h", u"-h"},
  };
  for (const Case& c : cases) {
    LPCWSTR rest = SkipProgramName(reinterpret_cast<LPCWSTR>(c.line));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(rest)), std::u16string(c.arguments))
        << SimUtf8(c.line);
  }
}

// The search for the end of the name looks at 1024 characters; after an opening quote
// those are the 1024 that follow it.
TEST(CommandLine, TheNameSearchLooksAtMost1024Characters) {
  struct Case {
    std::u16string line;
    const char16_t* arguments;
  } cases[] = {
      {std::u16string(1023, u'n') + u" -h", u"-h"},
      {std::u16string(1024, u'n') + u" -h", u""},
      {std::u16string(1023, u'n') + u"\t -h", u""},
      {u"\"" + std::u16string(1022, u'n') + u"\" -h", u"-h"},
      {u"\"" + std::u16string(1023, u'n') + u"\" -h", u"-h"},
      {u"\"" + std::u16string(1024, u'n') + u"\" -h", u""},
      {u"\"" + std::u16string(1023, u'n'), u""},
  };
  for (const Case& c : cases) {
    LPCWSTR rest = SkipProgramName(reinterpret_cast<LPCWSTR>(c.line.c_str()));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(rest)), std::u16string(c.arguments))
        << c.line.size() << " characters, quoted: " << (c.line[0] == u'"');
  }
}

TEST(CommandLine, AQuotedProgramNameWithBlanksIsSkippedWhole) {
  ChildRun run = RunInChild({[] { SimSetCommandLine(u"\"C:\\Program Files\\S\\sorvanel.exe\" -h"); },
                             [] {
                               ProgramEntry();
                               return -1;
                             },
                             nullptr, 60});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.outConsole, std::u16string(ExpectedHelp));
}

}  // namespace
