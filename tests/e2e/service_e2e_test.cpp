// The service under Wine's own service control manager: sorvanel.exe's -i, -r and -f, and the
// test-only service host (the same service code behind an entry that enters the dispatcher
// directly) running as "Tamberlocke_Sorvanel", with its errors in a log file or, as a real
// service writes them, in the event log; and the message table that renders those events.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"

namespace {

const char KeyPath[] = "HKLM\\System\\CurrentControlSet\\Services\\Tamberlocke_Sorvanel";
const char EventSourcePath[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tamberlocke_Sorvanel";
const char Description[] = "Flushes volume file buffers on an interval and on request.";
const char FlushLine[] = "Volume \"ZZ-flush-marker\" not found\r\n";

// The image under test: the tests run for both, and the host and client of the same build
// (32-bit programs under WOW64 talk to the same service manager and registry).
WindowsImage image = WindowsImage::X64;

std::string ClientBuild() { return WindowsBuild(image, "sorvanel_service_client.exe"); }

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

ProcessResult Sorvanel(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {WindowsBuild(image)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunWine(argv);
}

bool Registered() { return RunWine({"reg", "query", KeyPath}).exitCode == 0; }

// Whether the event source's key is there; reg says on standard output when it is not.
bool EventSourceRegistered() {
  ProcessResult query = RunWine({"reg", "query", EventSourcePath});
  if (query.exitCode != 0) {
    EXPECT_TRUE(std::regex_search(query.out, std::regex("Unable to find the \\w+ registry key")))
        << query.out << query.err;
  }
  return query.exitCode == 0;
}

// The error events that the session's services reported, one line each as Wine prints them,
// without the thread number that starts each line.
std::string SessionEvents() {
  std::string events = FileText(WineSessionLog());
  return std::regex_replace(events, std::regex("(^|\n)[0-9a-f]{4}:"), "$1");
}

// One error event's line as SessionEvents() shows it, for a text of one line.
std::string EventLine(const std::string& text) {
  std::string escaped;
  for (char ch : text) {
    if (ch == '"' || ch == '\\') escaped += '\\';
    escaped += ch;
  }
  return "err:eventlog:ReportEventW L\"" + escaped + "\"\n";
}

// The log of flush passes, once it holds `lines` lines (or after 10 s).
std::string LogWithLines(size_t lines) {
  std::string log;
  for (int i = 0; i < 50; ++i) {
    log = FileText(HostLog());
    size_t count = 0;
    for (size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at) ++count;
    if (count >= lines) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return log;
}

// The state number that "sc query" shows, or -1.
int ServiceState() {
  ProcessResult query = RunWine({"sc", "query", "Tamberlocke_Sorvanel"});
  std::smatch match;
  if (!std::regex_search(query.out, match, std::regex("STATE\\s*:\\s*([0-9]+)"))) return -1;
  return std::stoi(match[1]);
}

class ServiceUnderWine : public ::testing::TestWithParam<WindowsImage> {
 protected:
  void SetUp() override {
    image = GetParam();
    SKIP_UNLESS_IMAGE_RUNS(image);
    ASSERT_TRUE(Exists(WindowsBuild(image))) << WindowsBuild(image) << " is not built";
    // Whatever an earlier run left behind goes first.
    Sorvanel({"-r"});
    ASSERT_FALSE(Registered());
    RunWine({"reg", "delete", EventSourcePath, "/f"});
    ASSERT_FALSE(EventSourceRegistered());
  }

  // The host in a folder with a blank, with settings that flush on request only. The
  // template matches no volume, so each flush pass reports "Volume ... not found", which is
  // how the tests see it.
  void PlaceHost() {
    ASSERT_TRUE(PlaceServiceHost(image, "[Main]\r\nSignature=Sorvanel\r\nInterval=0\r\nVolumes=ZZ-flush-marker\r\n"))
        << WindowsBuild(image, "sorvanel_service_host.exe") << " or its client is not built";
  }
};

// The same in a Wine session that captures the error events of its services.
class ServiceEventsUnderWine : public ServiceUnderWine {
 protected:
  void SetUp() override {
    if (!ImageCannotRun(GetParam()).empty()) return ServiceUnderWine::SetUp();
    ASSERT_TRUE(PrepareWineSessionWithEventLog());
    ServiceUnderWine::SetUp();
  }
};

TEST_P(ServiceUnderWine, RemovingWhatIsNotInstalled) {
  ProcessResult result = Sorvanel({"-r"});
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("Cannot open service Tamberlocke_Sorvanel (1060 - ", 0), 0u)
      << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
}

// On Windows the manager starts sorvanel.exe outside an interactive logon and without output
// handles, so it enters the dispatcher and the start succeeds. Wine puts every process, its
// services too, in the INTERACTIVE group: the started sorvanel.exe takes the command-line
// path, runs one flush pass and exits without ever reaching the dispatcher, and Wine's manager
// fails the start with ERROR_SERVICE_REQUEST_TIMEOUT (1053). What the user sees is then the
// failed-start sequence, and the registration is deleted again.
TEST_P(ServiceUnderWine, InstallingSorvanelItselfFailsToStartAndLeavesNothing) {
  // A terminal shows standard output and error in the order they were written (and turns
  // each line feed into CR LF, so a line ends in CR CR LF there). The program lies where
  // the host does, in folders that only their owner may change.
  ProcessOptions options;
  ASSERT_TRUE(PrepareWinePrefix());
  PlaceHost();
  ASSERT_EQ(RunProcess({"cp", WindowsBuild(image), HostFolder() + "/"}).exitCode, 0);
  options.environment = {"WINEPREFIX=" + WinePrefix(), "WINEDEBUG=-all"};
  ProcessResult result =
      RunInTerminal(WineCommand({"C:\\Program Files\\Sorvanel Test\\sorvanel.exe", "-i"}), options);
  EXPECT_EQ(result.exitCode, 7);
  std::string screen = ScreenText(result.out + result.err);
  std::regex sequence(
      "Service Tamberlocke_Sorvanel installed\r*\n"
      "Cannot start service Tamberlocke_Sorvanel \\(1053 - [^)]*\\)\r*\n"
      "Service did not start, deleting it\r*\n");
  EXPECT_TRUE(std::regex_search(screen, sequence)) << screen;
  EXPECT_FALSE(Registered());
  // The event source that -i registered before the start went with the service.
  EXPECT_FALSE(EventSourceRegistered());
}

// Wine gives a file or folder of mode 0777 a DACL in which Everyone may change it (0x1301ff).
// From such a folder, as such a file, or from a folder inside such a folder (which Everyone
// may rename away), neither sorvanel.exe nor the host registers anything: the refusal comes
// before the service exists, so nothing waits for a start. Nor from a removable drive: a drive
// that Wine's settings make a floppy drive (DRIVE_REMOVABLE once its session starts anew).
TEST_P(ServiceUnderWine, InstallingAProgramThatOthersCanReplaceIsRefused) {
  const std::string outer = WinePrefix() + "/drive_c/Sorvanel Open";
  const std::string floppy = WinePrefix() + "/dosdevices/e:";
  struct {
    const char* program;
    const char* folder;  // below drive_c; "E:" for the floppy drive
    mode_t outerMode, folderMode, fileMode;
    std::string refusal;
  } cases[] = {
      {"sorvanel.exe", "Sorvanel Open", 0777, 0777, 0755, "Everyone may add files to C:\\Sorvanel Open\\"},
      {"sorvanel_service_host.exe", "Sorvanel Open", 0777, 0777, 0755,
       "Everyone may add files to C:\\Sorvanel Open\\"},
      {"sorvanel_service_host.exe", "Sorvanel Open", 0755, 0755, 0777,
       "Everyone may write to C:\\Sorvanel Open\\sorvanel_service_host.exe"},
      {"sorvanel_service_host.exe", "Sorvanel Open/Locked", 0777, 0755, 0755,
       "Everyone may rename folders in C:\\Sorvanel Open\\"},
      {"sorvanel_service_host.exe", "E:", 0755, 0755, 0755, "E:\\sorvanel_service_host.exe is not on a local fixed drive"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " in " + c.folder);
    bool removable = std::string(c.folder) == "E:";
    std::string folder = removable ? outer : WinePrefix() + "/drive_c/" + c.folder;
    RunProcess({"rm", "-rf", outer});
    ASSERT_EQ(RunProcess({"mkdir", "-p", folder}).exitCode, 0);
    ASSERT_EQ(RunProcess({"cp", WindowsBuild(image, c.program), folder + "/"}).exitCode, 0);
    ASSERT_EQ(chmod(outer.c_str(), c.outerMode), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
    ASSERT_EQ(chmod((folder + "/" + c.program).c_str(), c.fileMode), 0);
    std::string windowsFolder = "C:\\" + std::regex_replace(std::string(c.folder), std::regex("/"), "\\");
    if (removable) {
      windowsFolder = "E:";
      ASSERT_EQ(symlink(outer.c_str(), floppy.c_str()), 0);
      ASSERT_EQ(RunWine({"reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "e:", "/d", "floppy", "/f"}).exitCode, 0);
      StopWineServer();
    }
    ProcessResult install = RunWine({windowsFolder + "\\" + c.program, "-i"});
    if (removable) {
      RunWine({"reg", "delete", "HKLM\\Software\\Wine\\Drives", "/v", "e:", "/f"});
      unlink(floppy.c_str());
      StopWineServer();
    }
    EXPECT_EQ(install.exitCode, 7);
    EXPECT_EQ(install.out, "");
    EXPECT_EQ(install.err, "Cannot install service Tamberlocke_Sorvanel: " + c.refusal +
                               "\r\nInstall from a folder that an administrator made under Program Files, "
                               "such as C:\\Program Files\\Sorvanel\r\n");
    EXPECT_FALSE(Registered());
    EXPECT_FALSE(EventSourceRegistered());
  }
  RunProcess({"rm", "-rf", outer});
}

TEST_P(ServiceUnderWine, TheServiceHostRunsFlushesOnRequestAndIsRemoved) {
  PlaceHost();
  // The host writes its messages to its log file, which must be there for that.
  { std::ofstream log(HostLog(), std::ios::binary | std::ios::trunc); }

  // The host registers itself with the same installation code, from a folder with a blank.
  ProcessResult install = RunWine({HostWindowsPath, "-i"});
  EXPECT_EQ(install.exitCode, 0) << install.err;
  EXPECT_EQ(install.out, "Service Tamberlocke_Sorvanel installed\r\n");
  // -i returns once the service runs, and it makes its event before it says so: a request
  // right after -i reaches it.
  ProcessResult first = Sorvanel({"-f"});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(LogWithLines(1), FlushLine);
  ProcessResult key = RunWine({"reg", "query", KeyPath, "/v", "ImagePath"});
  EXPECT_NE(key.out.find(std::string("\"") + HostWindowsPath + "\""), std::string::npos)
      << key.out;
  EXPECT_EQ(ServiceState(), 4);  // RUNNING
  // Every process of the session runs as WineCommand starts the programs, without
  // address-space randomization: the server, the services and the host that the service
  // manager started.
  bool hostSeen = false;
  for (const WineProcess& process : WineSessionProcesses()) {
    EXPECT_FALSE(process.randomized) << process.commandLine;
    hostSeen = hostSeen || process.commandLine.find("sorvanel_service_host.exe") != std::string::npos;
  }
  EXPECT_TRUE(hostSeen);
  // The description, as the Services console reads it and as the registry holds it. (Wine
  // keeps no recovery actions: it accepts them and stores nothing.)
  ProcessResult description = RunWine({ClientBuild(), "description", "Tamberlocke_Sorvanel"});
  EXPECT_EQ(description.exitCode, 0) << description.out;
  EXPECT_EQ(description.out, Description);
  // It starts after the event log, so that its first events at boot are kept.
  key = RunWine({"reg", "query", KeyPath, "/v", "DependOnService"});
  EXPECT_NE(key.out.find("    DependOnService    REG_MULTI_SZ    EventLog\r\n"), std::string::npos) << key.out;
  key = RunWine({"reg", "query", KeyPath, "/v", "Description"});
  EXPECT_NE(key.out.find(std::string("    Description    REG_SZ    ") + Description + "\r\n"),
            std::string::npos)
      << key.out;
  // The event source, whose message file is the executable that -i registered.
  key = RunWine({"reg", "query", EventSourcePath});
  EXPECT_NE(key.out.find(std::string("    EventMessageFile    REG_EXPAND_SZ    ") +
                         HostWindowsPath + "\r\n"),
            std::string::npos)
      << key.out;
  EXPECT_NE(key.out.find("    TypesSupported    REG_DWORD    0x7\r\n"), std::string::npos)
      << key.out;

  // Three cycles go by without another flush: the interval is off.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(FileText(HostLog()), FlushLine);

  ProcessResult notify = Sorvanel({"-v", "-f"});
  EXPECT_EQ(notify.exitCode, 0) << notify.err;
  EXPECT_EQ(notify.out, "The service is notified\r\n");
  EXPECT_EQ(LogWithLines(2), std::string(FlushLine) + FlushLine);

  // The user-defined control 128 asks for a flush as "sc control Tamberlocke_Sorvanel 128"
  // would send it (Wine's sc.exe has no "control"); 129 is ignored. One more pass.
  for (const char* code : {"129", "128"}) {
    ProcessResult control = RunWine({ClientBuild(), "control", "Tamberlocke_Sorvanel", code});
    EXPECT_EQ(control.exitCode, 0) << code << ": " << control.out;
  }
  EXPECT_EQ(LogWithLines(3), std::string(FlushLine) + FlushLine + FlushLine);
  EXPECT_EQ(ServiceState(), 4);  // still RUNNING

  // The stop as the service manager sees it, measured in the process that asks for it. It
  // comes just after a flush pass, at the start of a cycle's wait: the worst case, one
  // whole cycle and no flush. Measured under Wine: about 200 ms.
  ProcessResult stop =
      RunWine({ClientBuild(), "stop-after-flush", "Tamberlocke_Sorvanel", HostLogWindowsPath});
  ASSERT_EQ(stop.exitCode, 0) << stop.out;
  const long milliseconds = std::stol(stop.out);
  std::printf("stopped %ld ms after the request\n", milliseconds);
  EXPECT_LE(milliseconds, 700);
  EXPECT_EQ(ServiceState(), 1);  // STOPPED

  ProcessResult remove = Sorvanel({"-r"});
  EXPECT_EQ(remove.exitCode, 0) << remove.err;
  EXPECT_EQ(remove.out, "Service Tamberlocke_Sorvanel removed\r\n");
  EXPECT_EQ(remove.err, "");
  EXPECT_FALSE(Registered());
  EXPECT_FALSE(EventSourceRegistered());
  // Exactly the four requested flushes happened: two -f, 128 and the one before the stop.
  EXPECT_EQ(FileText(HostLog()), std::string(FlushLine) + FlushLine + FlushLine + FlushLine);
}

// Without its log file the host has no output handles, as the real service has none: its
// errors go to the event log. Here the flush-request event is not the service's own when it
// starts: another process holds a mutex of that name (Wine then fails CreateEventW with
// ERROR_INVALID_HANDLE, 6), or an event of that name with a null DACL, which CreateEventW
// would hand over (183, it exists already) and the service does not use. Either way the
// service says so in an error event and still flushes when control 128 asks for it.
void RunWithTheEventNameTaken(const char* how, const std::string& firstError) {
  const std::string sessionLog = WindowsPath(WineSessionLog());

  ProcessResult install = RunWine({HostWindowsPath, "-i"});
  EXPECT_EQ(install.exitCode, 0) << install.err;
  EXPECT_EQ(install.out, "Service Tamberlocke_Sorvanel installed\r\n");
  // Started with its event: three cycles without an error. The settings event that it
  // wrote at the start is information, which Wine does not print.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(SessionEvents(), "");
  ProcessResult stop = RunWine({ClientBuild(), "stop", "Tamberlocke_Sorvanel"});
  ASSERT_EQ(stop.exitCode, 0) << stop.out;

  // Started again while the name is taken, until its first error event.
  ProcessResult start = RunWine({ClientBuild(), how, "Tamberlocke_Sorvanel", FlushEventName, sessionLog});
  ASSERT_EQ(start.exitCode, 0) << start.out;
  const std::string firstEvent = EventLine(firstError);
  EXPECT_EQ(SessionEvents(), firstEvent);
  EXPECT_EQ(ServiceState(), 4);  // RUNNING
  // No flush before it is asked for.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(SessionEvents(), firstEvent);

  // Control 128 asks for a flush, whose "not found" is the next event; the stop just after
  // it is timed as in the test above.
  stop = RunWine({ClientBuild(), "stop-after-flush", "Tamberlocke_Sorvanel", sessionLog});
  ASSERT_EQ(stop.exitCode, 0) << stop.out;
  const long milliseconds = std::stol(stop.out);
  std::printf("stopped %ld ms after the request\n", milliseconds);
  EXPECT_LE(milliseconds, 700);
  EXPECT_EQ(ServiceState(), 1);  // STOPPED
  EXPECT_EQ(SessionEvents(), firstEvent + EventLine("Volume \"ZZ-flush-marker\" not found"));
  EXPECT_FALSE(Exists(HostLog()));

  ProcessResult remove = Sorvanel({"-r"});
  EXPECT_EQ(remove.exitCode, 0) << remove.err;
  EXPECT_FALSE(Registered());
  EXPECT_FALSE(EventSourceRegistered());
}

TEST_P(ServiceEventsUnderWine, AServiceWithoutItsFlushEventReportsItAndFlushesOnRequest) {
  PlaceHost();
  unlink(HostLog().c_str());
  // Wine's text for error 6 is "Invalid handle".
  RunWithTheEventNameTaken("start-holding", "Cannot create flush event (6 - Invalid handle)");
}

TEST_P(ServiceEventsUnderWine, AServiceWhoseFlushEventIsSquattedReportsItAndFlushesOnRequest) {
  PlaceHost();
  unlink(HostLog().c_str());
  RunWithTheEventNameTaken("start-squatting", "Cannot create flush event (183 - File already exists)");
}

// Event Viewer renders an event through its source's message file, sorvanel.exe: each
// message gives back its inserted strings unchanged, the repeat message with its count.
class MessageTableUnderWine : public ::testing::TestWithParam<WindowsImage> {};

TEST_P(MessageTableUnderWine, EveryEventRendersItsStringsUnchanged) {
  image = GetParam();
  SKIP_UNLESS_IMAGE_RUNS(image);
  ASSERT_TRUE(Exists(ClientBuild())) << ClientBuild() << " is not built";
  struct Case {
    const char* id;
    std::vector<std::string> strings;
    std::string shown;
  };
  const std::string error = "Volume \u00c4 not found";
  const std::string settings = "Settings in force\r\nInterval: none, on request only";
  const Case cases[] = {
      {"1", {error}, error},
      {"2", {error, "11"}, error + "\r\n\r\n(11 repeats were not logged since this was.)"},
      {"3", {settings}, settings},
  };
  const std::string module = WindowsPath(WindowsBuild(image));
  for (const Case& item : cases) {
    std::vector<std::string> arguments = {ClientBuild(), "render", module, item.id};
    arguments.insert(arguments.end(), item.strings.begin(), item.strings.end());
    ProcessResult render = RunWine(arguments);
    EXPECT_EQ(render.exitCode, 0) << item.id << ": " << render.out;
    EXPECT_EQ(render.out, item.shown) << item.id;
  }
  // No other message: the next id is not found (ERROR_MR_MID_NOT_FOUND).
  ProcessResult missing = RunWine({ClientBuild(), "render", module, "4", error});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "FormatMessageW failed: 317\r\n");
}

std::string NameOf(const ::testing::TestParamInfo<WindowsImage>& info) { return ImageName(info.param); }

INSTANTIATE_TEST_SUITE_P(Images, ServiceUnderWine, ::testing::ValuesIn(BothImages), NameOf);
INSTANTIATE_TEST_SUITE_P(Images, ServiceEventsUnderWine, ::testing::ValuesIn(BothImages), NameOf);
INSTANTIATE_TEST_SUITE_P(Images, MessageTableUnderWine, ::testing::ValuesIn(BothImages), NameOf);

// Linux has no service control manager: both actions say so and fail.
TEST(ServiceOnLinux, InstallAndRemoveFindNoServiceManager) {
  ASSERT_TRUE(Exists(LinuxProgram())) << LinuxProgram() << " is not built";
  for (const char* action : {"-i", "-r"}) {
    ProcessResult result = RunProcess({LinuxProgram(), action});
    EXPECT_EQ(result.exitCode, 7) << action;
    EXPECT_EQ(result.out, "") << action;
    EXPECT_EQ(result.err,
              "Cannot open Service Manager (120 - This function is not available on this "
              "system)\r\n")
        << action;
  }
}

}  // namespace
