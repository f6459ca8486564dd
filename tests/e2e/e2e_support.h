// Running the real programs: the Linux program natively and sorvanel.exe under Wine.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;     // the process exit code; -1 when it did not exit normally
  bool timedOut = false;
  std::string out;       // bytes written to standard output
  std::string err;       // bytes written to standard error
};

struct ProcessOptions {
  int timeoutSeconds = 120;
  std::vector<std::string> environment;  // extra NAME=value entries; a bare NAME removes it
  std::string workingDirectory;          // empty: the current one
  bool closeStdout = false;              // start with descriptor 1 closed
  bool closeStderr = false;              // start with descriptor 2 closed
};

// Runs argv[0] with the arguments, standard input from /dev/null, output and error captured.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs the command under script(1), so that its standard output and error are a terminal.
// Returns what the terminal showed (standard output and error together).
ProcessResult RunInTerminal(const std::vector<std::string>& argv, const ProcessOptions& options = {});

std::string SourceDir();
std::string LinuxProgram();  // build/linux/sorvanel
std::string WindowsExe();    // build/windows-x64/sorvanel.exe
std::string WindowsExe86();  // build/windows-x86/sorvanel.exe

// The two Windows images that ship. Wine runs both in one prefix: the 64-bit image natively,
// the 32-bit one under WOW64, as 64-bit Windows does.
enum class WindowsImage { X64, X86 };
const WindowsImage BothImages[] = {WindowsImage::X64, WindowsImage::X86};
const char* ImageName(WindowsImage image);  // "x64" or "x86"
// A program of that image's build: build/windows-x64/<name> or build/windows-x86/<name>.
std::string WindowsBuild(WindowsImage image, const std::string& name = "sorvanel.exe");
// A copy of <file> in <folder>, signed as the release signs it (packaging/windows/sign.sh)
// with throw-away keys that tests/release/make_certificates.sh makes anew in <folder>/keys; ""
// when signing failed or the copy's signature does not verify against the throw-away CA.
std::string SignedCopy(const std::string& file, const std::string& folder);
// Wine's 64-bit loader, which runs every Wine program of the tests (a 32-bit image it hands
// on to the 32-bit loader), and the 32-bit loader, which only a kernel with 32-bit support runs.
const char* WineLoader();
const char* WineLoader32();
// Empty when Wine can run the image here; otherwise why not, in one line (the 32-bit image
// needs wine32 and a kernel that runs 32-bit programs). A line that starts with
// Wine32Missing says that the kernel runs them but wine32 is not installed: a set-up that
// left it out, which fails the image's tests instead of skipping them.
std::string ImageCannotRun(WindowsImage image);
extern const char Wine32Missing[];
// In a test: skips it, with that line, when Wine cannot run the image here. The line also
// goes to standard output, starting "x86 runs skipped:", for the test command's summary.
#define SKIP_UNLESS_IMAGE_RUNS(image)                                                   \
  do {                                                                                  \
    const std::string cannotRun = ImageCannotRun(image);                                \
    if (cannotRun.rfind(Wine32Missing, 0) == 0) GTEST_FAIL() << cannotRun;             \
    if (!cannotRun.empty()) {                                                           \
      std::printf("%s runs skipped: %s\n", ImageName(image), cannotRun.c_str());       \
      GTEST_SKIP() << cannotRun;                                                        \
    }                                                                                   \
  } while (0)

// The command that starts Wine's 64-bit loader with `arguments`: under setarch -R, so that
// Linux puts the loader's heap right after its image (0x7d000000) instead of anywhere in the
// GiB above it. Debian's Wine has no preloader to keep that GiB clear, and in about one start
// of 2,000 the heap covered 0x7ffe0000, where Wine maps the shared user data page: Wine then
// ended the program with exit code 1 before it ran, without a word under WINEDEBUG=-all
// ("failed to map the shared user data: c0000018" is an err line). What Wine starts from
// there (services.exe, the services, their programs) inherits the setting.
std::vector<std::string> WineCommand(const std::vector<std::string>& arguments);

// The processes of the test prefix's Wine session (its server, services and programs), each
// as its command line and whether Linux randomizes its address space.
struct WineProcess {
  std::string commandLine;
  bool randomized;
};
std::vector<WineProcess> WineSessionProcesses();

// Wine's debug output for the runs that fail without a word (wine_debug.cpp). With
// SORVANEL_WINE_DEBUG set to channels in WINEDEBUG's syntax (err+all, +process,+module, ...)
// every Wine program of the tests runs with them. Their lines are taken out of what the
// program wrote, so the tests see the same output, and kept in build/wine-debug/, with a line
// on standard output that names the file, only for a run that ended with a code other than 0
// and nothing of its own. Empty: WINEDEBUG=-all, nothing kept.
std::string WineDebugChannels();
void SeparateWineDebug(const std::vector<std::string>& arguments, ProcessResult& result);

// Wine with a private prefix inside the build tree (made on first use), WINEDEBUG=-all and
// no display. `arguments` are those of the Windows program, whose path comes first.
ProcessResult RunWine(const std::vector<std::string>& arguments, const ProcessOptions& options = {});
// The same under script(1): standard output and error are a terminal (Wine's console).
ProcessResult RunWineInTerminal(const std::vector<std::string>& arguments,
                                const ProcessOptions& options = {});
std::string WinePrefix();
// Makes the prefix if it is not there yet (once, under a lock) and starts a booted Wine
// session for it that outlives each single program (once per test process, unless the test
// process before left one that is sure to last, which it then takes over; a session started
// by PrepareWineSessionWithEventLog serves as well); false when either failed.
bool PrepareWinePrefix();
// The same, in a session whose services (not the programs a test runs) write each error
// event they report (ReportEventW) to WineSessionLog(), one line each, as Wine prints them:
//   0123:err:eventlog:ReportEventW L"<the text, escaped: CR LF as \r\n>"
// Information and warning events are not printed; a text is cut after about 290
// characters. A running session that does not capture them is ended and a new one booted.
bool PrepareWineSessionWithEventLog();
// The file that the session started by PrepareWineSessionWithEventLog writes to, from the
// boot on (a new session starts it empty).
std::string WineSessionLog();
// A Linux path as a Wine program names it, on drive Z:.
std::string WindowsPath(const std::string& path);
// The environment changes (ProcessOptions::environment form) under which Wine runs here.
std::vector<std::string> WineEnvironment();
// Stops the prefix's wineserver (and with it any Wine services started by a test).
void StopWineServer();

// The whole content of a file; empty when it cannot be read.
std::string FileText(const std::string& path);

// The name of the flush-request event that -f signals and the service makes.
extern const char FlushEventName[];
// The test-only service host (the service code behind an entry that enters the dispatcher
// directly) placed in the prefix, in a folder with a blank: its Windows path, its folder as
// Linux sees it, and its log file there (the host writes its notes and errors to it when it
// exists, emptied at each start).
extern const char HostWindowsPath[];
extern const char HostLogWindowsPath[];
std::string HostFolder();
std::string HostLog();
// Copies that image's host into the folder beside a settings file with `settings`; false
// when the host or the client is not built or the copy failed.
bool PlaceServiceHost(WindowsImage image, const std::string& settings);
// Replaces the host's settings file.
bool WriteHostSettings(const std::string& settings);

// What a terminal shows, as the user reads it: Wine's console adds cursor-control sequences
// (ESC [ ... and ESC ] ... BEL), which carry no text and are removed here.
std::string ScreenText(const std::string& raw);
