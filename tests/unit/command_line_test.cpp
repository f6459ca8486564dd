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

TEST(CommandLine, TheNameSearchLooksAtMost1024Characters) {
  std::u16string within = std::u16string(1023, u'n') + u" -h";
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(
                SkipProgramName(reinterpret_cast<LPCWSTR>(within.c_str())))),
            u"-h");
  std::u16string beyond = std::u16string(1024, u'n') + u" -h";
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(
                SkipProgramName(reinterpret_cast<LPCWSTR>(beyond.c_str())))),
            u"");
  std::u16string quoted = u"\"" + std::u16string(1022, u'n') + u"\" -h";
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(
                SkipProgramName(reinterpret_cast<LPCWSTR>(quoted.c_str())))),
            u"-h");
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
