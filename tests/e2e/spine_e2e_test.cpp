// The real programs from the outside: help, option errors, the -f client without a service,
// and what reaches a file, a pipe and a terminal. Each case runs against the Linux program
// and against sorvanel.exe under Wine; where the two differ it is said why.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

const char HelpLines[][80] = {
    "",
    "Sorvanel 1.5.2.300",
    "",
    "Flushes file buffers on fixed/removable/remote volumes",
    "(Administrator/operator rights are required).",
    "",
    "Command line:",
    "[<options>] [<actions>] [<volumes>]",
    "",
    "Options:",
    "-v - verbose",
    "",
    "Actions:",
    "-i - install as a service (.ini file can be used)",
    "-r - remove the service",
    "-f - force the service to perform the immediate flush",
    "",
    "Volumes:",
    "A list of volume name/path templates (\"?\" and \"*\" wildcards allowed)",
};

// Every line ended by CR LF, then the line break that every shown message gets.
std::string HelpBytes() {
  std::string bytes;
  for (const char* line : HelpLines) bytes += std::string(line) + "\r\n";
  return bytes + "\r\n";
}

// The Linux program, and the two Windows images under Wine. Both images meet the same
// expectations.
enum class Target { Linux, WineX64, WineX86 };

bool UnderWine(Target target) { return target != Target::Linux; }
WindowsImage ImageOf(Target target) { return target == Target::WineX86 ? WindowsImage::X86 : WindowsImage::X64; }

std::string TargetName(Target target) {
  return target == Target::Linux ? "linux" : std::string("wine-") + ImageName(ImageOf(target));
}

std::string ProgramOf(Target target) { return UnderWine(target) ? WindowsBuild(ImageOf(target)) : LinuxProgram(); }

ProcessResult RunProgram(Target target, const std::vector<std::string>& arguments,
                  const ProcessOptions& options = {}) {
  std::vector<std::string> argv = {ProgramOf(target)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return UnderWine(target) ? RunWine(argv, options) : RunProcess(argv, options);
}

ProcessResult RunTerminal(Target target, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {ProgramOf(target)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return UnderWine(target) ? RunWineInTerminal(argv) : RunInTerminal(argv);
}

std::string FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class Spine : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    if (UnderWine(GetParam())) SKIP_UNLESS_IMAGE_RUNS(ImageOf(GetParam()));
    const std::string program = ProgramOf(GetParam());
    struct stat info;
    ASSERT_EQ(0, stat(program.c_str(), &info)) << program << " is not built";
  }
};

TEST_P(Spine, HelpSwitchesShowTheHelpAndExit1) {
  for (const char* option : {"-?", "-h", "-H"}) {
    ProcessResult result = RunProgram(GetParam(), {option});
    EXPECT_EQ(1, result.exitCode) << option;
    EXPECT_EQ(HelpBytes(), result.out) << option;
    EXPECT_EQ("", result.err) << option;
  }
}

struct OptionCase {
  std::vector<std::string> arguments;
  std::string error;
  int exitCode;
};

TEST_P(Spine, CommandLineErrors) {
  const OptionCase cases[] = {
      {{"-x"}, "Invalid option \"x\", use -? for help\r\n", 2},
      {{"-V"}, "Invalid option \"V\", use -? for help\r\n", 2},
      // After another option, -h is an option letter like any other.
      {{"-v", "-h"}, "Invalid option \"h\", use -? for help\r\n", 2},
      {{"-"}, "No option after \"-\", use -? for help\r\n", 2},
      {{"-v", "-?"}, "No option after \"-\", use -? for help\r\n", 2},
      {{"-5"}, "No option after \"-\", use -? for help\r\n", 2},
      {{"-i", "C:"}, "Extra charactes in the command line: \"C:\"\r\n", 2},
      {{"-f", "-r", "D:\\Data"}, "Extra charactes in the command line: \"D:\\Data\"\r\n", 2},
      // An argument with a blank reaches the program quoted, and the extra text is shown as
      // the program read it.
      {{"-r", "x y"}, "Extra charactes in the command line: \"\"x y\"\"\r\n", 2},
      {{"-f"}, "The service is not running\r\n", 6},
      {{"-v", "-f"}, "The service is not running\r\n", 6},
  };
  for (const OptionCase& c : cases) {
    std::string shown;
    for (const std::string& argument : c.arguments) shown += "[" + argument + "]";
    ProcessResult result = RunProgram(GetParam(), c.arguments);
    EXPECT_EQ(c.exitCode, result.exitCode) << shown;
    EXPECT_EQ(c.error, result.err) << shown;
    EXPECT_EQ("", result.out) << shown;
  }
}

// Redirected output is code-page bytes: UTF-8 on Linux; under Wine the process has no
// console, so the console code page is 0 and the ANSI code page (1252 in the test prefix)
// applies, as on Windows for a process without a console. 1252 lacks the CJK character.
TEST_P(Spine, RedirectedOutputHoldsCodePageBytes) {
  char directory[] = "/tmp/sorvanel-e2e-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(directory));
  const std::string out = std::string(directory) + "/out.txt";
  const std::string err = std::string(directory) + "/err.txt";
  const std::string program = ProgramOf(GetParam());
  std::string launcher;
  if (UnderWine(GetParam())) {
    for (const std::string& word : WineCommand({})) launcher += word + " ";
  }
  const std::string script = "exec " + launcher + "\"$0\" \"$@\" >\"" + out + "\" 2>\"" + err + "\"";

  ProcessOptions options;
  if (UnderWine(GetParam())) {
    ASSERT_TRUE(PrepareWinePrefix());
    options.environment = WineEnvironment();
  }
  ProcessResult help = RunProcess({"sh", "-c", script, program, "-?"}, options);
  EXPECT_EQ(1, help.exitCode);
  const std::string helpBytes = FileBytes(out);
  EXPECT_EQ(HelpBytes(), helpBytes);  // no byte-order mark, no zero bytes, CR LF
  EXPECT_EQ(std::string::npos, helpBytes.find('\0'));
  EXPECT_EQ("", FileBytes(err));

  ProcessResult extra =
      RunProcess({"sh", "-c", script, program, "-i", "\xC3\x84\xC3\xBC\xE4\xB8\xAD"}, options);
  EXPECT_EQ(2, extra.exitCode);
  const std::string text = GetParam() == Target::Linux ? "\xC3\x84\xC3\xBC\xE4\xB8\xAD"
                                                       : "\xC4\xFC?";
  EXPECT_EQ("Extra charactes in the command line: \"" + text + "\"\r\n", FileBytes(err));
  EXPECT_EQ("", FileBytes(out));
  unlink(out.c_str());
  unlink(err.c_str());
  rmdir(directory);
}

// Through a terminal the console path is taken: the text reaches the screen whole, the
// CJK character included (a code-page write could not carry it). Each line ends in one
// CR LF on the screen: the Linux program writes LF and the terminal adds the CR; Wine's
// console writes CR LF and the terminal adds a second CR, which shows nothing and is
// dropped here.
TEST_P(Spine, TerminalGetsConsoleText) {
  ProcessResult help = RunTerminal(GetParam(), {"-?"});
  EXPECT_EQ(1, help.exitCode);
  std::string screen = ScreenText(help.out);
  if (UnderWine(GetParam())) {
    for (size_t at; (at = screen.find("\r\r\n")) != std::string::npos;) screen.erase(at, 1);
  }
  EXPECT_EQ(HelpBytes(), screen);

  ProcessResult extra = RunTerminal(GetParam(), {"-i", "\xC3\x84\xC3\xBC\xE4\xB8\xAD"});
  EXPECT_EQ(2, extra.exitCode);
  screen = ScreenText(extra.out);
  if (UnderWine(GetParam())) {
    for (size_t at; (at = screen.find("\r\r\n")) != std::string::npos;) screen.erase(at, 1);
  }
  EXPECT_EQ("Extra charactes in the command line: \"\xC3\x84\xC3\xBC\xE4\xB8\xAD\"\r\n", screen);
}

// Without standard output the help vanishes; without standard error too, errors go to a
// message box (on Linux the system log), and the exit codes stay.
TEST_P(Spine, MissingStandardHandles) {
  if (UnderWine(GetParam())) {
    // Wine hands descriptors 1 and 2 on as the Windows standard handles whatever they are,
    // and when they were closed its loader has reused them (for the current folder and the
    // wineserver socket), so the program would write into Wine's own connection. Windows
    // never starts a process like that; the Linux case and the simulated machine cover it.
    GTEST_SKIP() << "closed descriptors are no Windows situation under Wine";
  }
  ProcessOptions noOutput;
  noOutput.closeStdout = true;
  ProcessResult help = RunProgram(GetParam(), {"-?"}, noOutput);
  EXPECT_EQ(1, help.exitCode);
  EXPECT_EQ("", help.err);

  ProcessOptions neither;
  neither.closeStdout = true;
  neither.closeStderr = true;
  neither.timeoutSeconds = 60;
  ProcessResult error = RunProgram(GetParam(), {"-x"}, neither);
  EXPECT_FALSE(error.timedOut);
  EXPECT_EQ(2, error.exitCode);
}

// The program name is skipped whole when it holds a blank.
TEST_P(Spine, ProgramInAFolderWithABlank) {
  const std::string folder = SourceDir() + "/build/e2e folder " + TargetName(GetParam());
  const std::string source = ProgramOf(GetParam());
  const std::string copy = folder + (GetParam() == Target::Linux ? "/sorvanel" : "/sorvanel.exe");
  ASSERT_EQ(0, RunProcess({"mkdir", "-p", folder}).exitCode);
  ASSERT_EQ(0, RunProcess({"cp", source, copy}).exitCode);
  ProcessResult result = GetParam() == Target::Linux ? RunProcess({copy, "-x"})
                                                     : RunWine({copy, "-x"});
  EXPECT_EQ(2, result.exitCode);
  EXPECT_EQ("Invalid option \"x\", use -? for help\r\n", result.err);
  RunProcess({"rm", "-rf", folder});
}

INSTANTIATE_TEST_SUITE_P(Programs, Spine, ::testing::Values(Target::Linux, Target::WineX64, Target::WineX86),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           std::string name = TargetName(info.param);
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

}  // namespace
