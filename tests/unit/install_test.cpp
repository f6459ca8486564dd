// Installing and removing the service from the command line (-i, -r), against the simulated
// service control manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_registry.h"
#include "sim/sim_security.h"
#include "sim/sim_service.h"
#include "sim/sim_time.h"
#include "sim/sim_volumes.h"
#include "unit/child_run.h"

namespace {

const char16_t Name[] = u"Tamberlocke_Sorvanel";
const char16_t SourceKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tamberlocke_Sorvanel";

// The event-source key as "<type of EventMessageFile> <its text> <TypesSupported>", or "none".
std::string EventSource() {
  if (!SimRegistryKeyExists(SourceKey)) return "none";
  SimRegistryValue types = SimGetRegistryValue(SourceKey, u"TypesSupported");
  DWORD value = 0;
  if (types.data.size() == 4) memcpy(&value, types.data.data(), 4);
  return std::to_string(SimGetRegistryValue(SourceKey, u"EventMessageFile").type) + " " +
         SimUtf8(SimRegistryText(SourceKey, u"EventMessageFile")) + " " + std::to_string(types.type) + ":" +
         std::to_string(value);
}

// Runs the program with the arguments and reports, besides the run, what the service
// registration looked like when the program ended.
ChildRun RunAction(const std::u16string& arguments, std::function<void()> setup) {
  return RunProgram(arguments, setup, [](std::map<std::string, std::string>& extra) {
    SimServiceRecord r = SimService(Name);
    extra["exists"] = r.exists ? "yes" : "no";
    extra["marked"] = r.markedForDelete ? "yes" : "no";
    extra["path"] = SimUtf8(r.binaryPath);
    extra["state"] = std::to_string(r.state);
    extra["registration"] =
        SimUtf8(r.name) + "|" + SimUtf8(r.displayName) + "|" + std::to_string(r.access) + "|" +
        std::to_string(r.type) + "|" + std::to_string(r.startType) + "|" +
        std::to_string(r.errorControl) + "|" + SimUtf8(r.loadOrderGroup) + "|" +
        (r.tagAsked ? "tag" : "-") + "|" + SimUtf8(r.dependencies) + "|" + SimUtf8(r.account) +
        "|" + (r.passwordGiven ? "password" : "-");
    extra["description"] = SimUtf8(r.description);
    std::string recovery = r.failureActionsSet ? std::to_string(r.failureResetPeriod) : "none";
    for (auto& action : r.failureActions) {
      recovery += " " + std::to_string(action.first) + "/" + std::to_string(action.second);
    }
    extra["recovery"] = recovery;
    extra["source"] = EventSource();
  });
}

// The calls of the manager's functions in the order made.
std::vector<std::string> ServiceCalls(const ChildRun& run) {
  std::vector<std::string> calls;
  for (const std::string& name : run.callLog) {
    if (name == "OpenSCManagerW" || name == "CreateServiceW" || name == "OpenServiceW" ||
        name == "StartServiceW" || name == "ControlService" || name == "DeleteService" ||
        name == "CloseServiceHandle") {
      calls.push_back(name);
    }
  }
  return calls;
}

void ExpectNoLeaks(const ChildRun& run) {
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

// Writes down, at the start of the nth call of `function`, whether the service handle was
// already closed (the manager's handle is to be closed last).
void NoteServiceHandlesAt(const char* function, unsigned nth, int* where) {
  SimOnCall(function, nth, [where] { *where = SimService(Name).openHandles; });
}

TEST(Install, RegistersAnAutomaticOwnProcessServiceAndStartsIt) {
  ChildRun run = RunAction(u"-i", nullptr);
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.Out(), "Service Tamberlocke_Sorvanel installed\r\n");
  EXPECT_EQ(run.Err(), "");
  EXPECT_EQ(run.extra["registration"],
            "Tamberlocke_Sorvanel|Volume file buffers flusher|983551|16|2|1|Base|-|EventLog[~][~]||-");
  // The default module path holds a blank, so it is registered in quotes.
  EXPECT_EQ(run.extra["path"], "\"C:\\Program Files\\Sorvanel\\sorvanel.exe\"");
  EXPECT_EQ(run.extra["state"], std::to_string(SERVICE_RUNNING));
  EXPECT_EQ(ServiceCalls(run),
            (std::vector<std::string>{"OpenSCManagerW", "CreateServiceW", "StartServiceW",
                                      "CloseServiceHandle", "CloseServiceHandle"}));
  // What the Services console shows, restarts after the first two failures within a day,
  // and the event source, registered before the start so that the first event renders.
  EXPECT_EQ(run.extra["description"], "Flushes volume file buffers on an interval and on request.");
  EXPECT_EQ(run.extra["recovery"], "86400 1/60000 1/60000 0/0");
  EXPECT_EQ(run.extra["source"], "2 C:\\Program Files\\Sorvanel\\sorvanel.exe 4:7");
  std::string order;
  for (const std::string& call : run.callLog) {
    if (call == "ChangeServiceConfig2W" || call == "RegSetValueExW" || call == "StartServiceW") order += call + " ";
  }
  EXPECT_EQ(order, "ChangeServiceConfig2W ChangeServiceConfig2W RegSetValueExW RegSetValueExW StartServiceW ");
}

// The owner and DACL of the executable, its folder and every folder up to the drive's root
// decide whether -i registers anything: an account besides SYSTEM, Administrators,
// TrustedInstaller and the installing one that owns one of them, or may write the file, add
// files to its folder, or rename or re-permission anything on the path, could put its own
// program in the place of a LocalSystem service; so could whoever controls a link on the path,
// a network share or a removable medium. The refusal names the account (its name where the
// machine knows it alone, else its SID), the right and the object.
TEST(Install, RefusesAProgramThatOthersCanReplace) {
  const std::u16string file = u"C:\\Program Files\\Sorvanel\\sorvanel.exe";
  const std::u16string folder = u"C:\\Program Files\\Sorvanel\\";
  const std::string domain = "S-1-5-21-1004336348-1177238915-682003330-";
  const std::string alice = SimMachineDomain + "-1001";
  const std::string trustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const int allow = ACCESS_ALLOWED_ACE_TYPE;
  const int deny = 1;          // ACCESS_DENIED_ACE_TYPE
  const int conditional = 9;   // ACCESS_ALLOWED_CALLBACK_ACE_TYPE
  const int inheritOnly = INHERIT_ONLY_ACE | 3;
  const SimAce readers = {allow, 0x1200A9, "S-1-5-32-545"};
  const SimAce admins = {allow, 0x1F01FF, "S-1-5-32-544"};
  const SimAce system = {allow, 0x1F01FF, "S-1-5-18"};
  // Program Files and System32 as Windows ships them, and C:\ with the right to make folders
  // that it gives Authenticated Users.
  const SimFileSecurity shipped = {trustedInstaller, true, false,
                                   {{allow, 0x1301BF, "S-1-5-18"}, {allow, GENERIC_ALL, "S-1-5-18", inheritOnly},
                                    {allow, 0x1301BF, "S-1-5-32-544"}, readers,
                                    {allow, GENERIC_ALL, "S-1-3-0", inheritOnly},
                                    {allow, 0x1200A9, "S-1-15-2-1"},
                                    {allow, 0x1F01FF, trustedInstaller}}};
  const SimFileSecurity root = {"S-1-5-18", true, false,
                                {admins, system, readers, {allow, 0x1301BF, "S-1-5-11", inheritOnly},
                                 {allow, FILE_ADD_SUBDIRECTORY, "S-1-5-11"}}};
  typedef std::vector<std::pair<std::u16string, SimFileSecurity>> Paths;
  struct {
    Paths paths;
    std::string refusal;  // "<who may what> <object>" or "<object> <what it is>"; "" when installed
    std::u16string program = u"C:\\Program Files\\Sorvanel\\sorvanel.exe";
    const char* failing = nullptr;  // a call that fails
  } cases[] = {
      // Groups that take in every user, or every user of a kind, with each right that lets them
      // replace the program.
      {{{file, {"", true, false, {admins, {allow, FILE_WRITE_DATA, "S-1-1-0"}}}}}, "Everyone may write to " + SimUtf8(file)},
      {{{file, {"", true, false, {{allow, FILE_APPEND_DATA, "S-1-2-0"}}}}}, "LOCAL may write to " + SimUtf8(file)},
      {{{file, {"", true, false, {{allow, GENERIC_ALL, "S-1-5-4"}}}}}, "INTERACTIVE may write to " + SimUtf8(file)},
      {{{file, {"", true, false, {{allow, DELETE, "S-1-5-7"}}}}}, "ANONYMOUS LOGON may delete " + SimUtf8(file)},
      {{{file, {"", true, false, {{allow, WRITE_DAC, "S-1-5-11"}}}}},
       "Authenticated Users may change the permissions of " + SimUtf8(file)},
      {{{folder, {"", true, false, {readers, {allow, FILE_ADD_FILE, "S-1-5-32-545"}}}}}, "Users may add files to " + SimUtf8(folder)},
      {{{folder, {"", true, false, {{allow, FILE_ADD_SUBDIRECTORY, "S-1-5-32-546"}}}}}, "Guests may add files to " + SimUtf8(folder)},
      {{{folder, {"", true, false, {{allow, WRITE_OWNER, "S-1-5-2"}}}}}, "NETWORK may change the permissions of " + SimUtf8(folder)},
      // A domain's accounts are named by their SID: the machine would have to ask a domain
      // controller. A named account is held to the same rule as a group.
      {{{folder, {"", true, false, {{allow, FILE_DELETE_CHILD, domain + "513"}}}}},
       "S-1-5-21-1004336348-1177238915-682003330-513 may delete files in " + SimUtf8(folder)},
      {{{folder, {"", true, false, {{allow, DELETE, domain + "514"}}}}},
       "S-1-5-21-1004336348-1177238915-682003330-514 may rename or delete " + SimUtf8(folder)},
      {{{file, {domain + "1001", true, false, {system, {allow, 0x1F01FF, domain + "1001"}}}}},
       "S-1-5-21-1004336348-1177238915-682003330-1001 may write to " + SimUtf8(file)},
      // A standard user's file moved into the folder keeps its owner; OWNER RIGHTS gives the
      // owner its rights; a conditional entry grants as a plain one does; SERVICE is no
      // administrator either.
      {{{file, {alice, true, false, {system, admins}}}}, "alice may change the permissions of " + SimUtf8(file)},
      {{{file, {alice, true, false, {system, {allow, FILE_WRITE_DATA, "S-1-3-4"}}}}}, "alice may write to " + SimUtf8(file)},
      // Without the machine's account domain, or without a name, an account is its SID.
      {{{file, {alice, true, false, {system}}}}, alice + " may change the permissions of " + SimUtf8(file), file,
       "LsaOpenPolicy"},
      {{{file, {alice, true, false, {system}}}}, alice + " may change the permissions of " + SimUtf8(file), file,
       "LsaQueryInformationPolicy"},
      {{{file, {"", true, false, {{allow, FILE_WRITE_DATA, "S-1-5-11"}}}}}, "S-1-5-11 may write to " + SimUtf8(file),
       file, "LookupAccountSidW"},
      {{{file, {"S-1-5-32-544", true, false, {system, {allow, 0x1F01FF, "S-1-3-4"}}}}}, ""},
      {{{file, {"", true, false, {{conditional, FILE_WRITE_DATA, "S-1-5-11"}}}}}, "Authenticated Users may write to " + SimUtf8(file)},
      {{{file, {"", true, false, {{allow, FILE_WRITE_DATA, "S-1-5-6"}}}}}, "SERVICE may write to " + SimUtf8(file)},
      // What Wine shows for mode 0777, and a folder made under C:\ on Windows.
      {{{folder, {"", true, false, {{allow, 0x1301FF, "S-1-1-0"}}}}}, "Everyone may add files to " + SimUtf8(folder)},
      {{{folder, {"", true, false, {admins, {allow, 0x1301BF, "S-1-5-11"}}}}},
       "Authenticated Users may add files to " + SimUtf8(folder)},
      // No DACL (FAT, exFAT) or a null one: everyone may do anything.
      {{{file, {"", false, false, {}}}}, "Everyone may write to " + SimUtf8(file)},
      {{{folder, {"", true, true, {}}}}, "Everyone may add files to " + SimUtf8(folder)},
      // The folders above: a locked folder under one that Authenticated Users may modify can be
      // renamed away; so can a folder under a root that everyone controls. Making folders
      // in C:\ replaces nothing.
      {{{u"C:\\Tools\\", {"", true, false, {system, admins, {allow, 0x1301BF, "S-1-5-11"}}}}},
       "Authenticated Users may rename or delete C:\\Tools\\", u"C:\\Tools\\Sorvanel\\sorvanel.exe"},
      {{{u"D:\\", {"", true, false, {{allow, 0x1F01FF, "S-1-1-0"}}}}}, "Everyone may rename folders in D:\\",
       u"D:\\Apps\\Sorvanel\\sorvanel.exe"},
      {{{u"C:\\Program Files\\", shipped}, {u"C:\\", root}}, ""},
      {{{u"C:\\Windows\\System32\\", shipped}, {u"C:\\Windows\\", shipped}, {u"C:\\", root}}, "",
       u"C:\\Windows\\System32\\sorvanel.exe"},
      // Links, shares and media that others control.
      {{{folder, {"S-1-5-32-544", true, false, {system, admins}, true}}}, SimUtf8(folder) + " is a junction or symbolic link"},
      {{}, "\\\\server\\share\\sorvanel.exe is not on a local fixed drive", u"\\\\server\\share\\sorvanel.exe"},
      {{}, "E:\\sorvanel.exe is not on a local fixed drive", u"E:\\sorvanel.exe"},
      {{}, "Z:\\sorvanel.exe is not on a local fixed drive", u"Z:\\sorvanel.exe"},
      // Fine: read and execute, rights that cannot replace the program, inherit-only entries,
      // deny entries, an empty DACL, and the accounts that may: SYSTEM, Administrators,
      // TrustedInstaller, the installing administrator.
      {{{folder, {"", true, false, {readers, {allow, 0x1200A9 | 0x110, "S-1-1-0"}}}}}, ""},
      {{{folder, {"", true, false, {{allow, GENERIC_ALL, "S-1-5-32-545", inheritOnly}}}}}, ""},
      {{{folder, {"", true, false, {{allow, GENERIC_ALL, "S-1-3-0"}, {allow, GENERIC_ALL, "S-1-3-1"}}}}}, ""},
      {{{file, {"", true, false, {{deny, 0x1F01FF, "S-1-1-0"}}}}}, ""},
      {{{file, {"", true, false, {}}}}, ""},
      {{{file, {"S-1-5-18", true, false, {system, admins, {allow, 0x1F01FF, trustedInstaller},
                                         {allow, 0x1F01FF, SimMachineDomain + "-1000"}}}}}, ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.refusal.empty() ? SimUtf8(c.program) + " installed" : c.refusal);
    Paths paths = c.paths;
    std::u16string program = c.program;
    const char* failing = c.failing;
    ChildRun run = RunAction(u"-i", [paths, program, failing] {
      SimSetModulePath(program);
      if (failing) SimFailCall(failing, 1, ERROR_ACCESS_DENIED);
      // D: a second fixed drive, E: a card reader, Z: a mapped share.
      SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"D:\\"}),
                     SimMakeVolume(3, {u"E:\\"}, DRIVE_REMOVABLE), SimMakeVolume(4, {u"Z:\\"}, DRIVE_REMOTE)});
      for (auto& path : paths) SimSetFileSecurity(path.first, path.second);
    });
    ExpectNoLeaks(run);
    if (c.refusal.empty()) {
      EXPECT_EQ(run.exitCode, 0);
      EXPECT_EQ(run.Err(), "");
      EXPECT_EQ(run.extra["exists"], "yes");
      continue;
    }
    EXPECT_EQ(run.exitCode, 7);
    EXPECT_EQ(run.Err(), "Cannot install service Tamberlocke_Sorvanel: " + c.refusal +
                             "\r\nInstall from a folder that an administrator made under Program Files, such "
                             "as C:\\Program Files\\Sorvanel\r\n");
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.extra["exists"], "no");
    EXPECT_EQ(ServiceCalls(run), (std::vector<std::string>{"OpenSCManagerW", "CloseServiceHandle"}));
  }
}

// On every path that opened both, the service handle is closed before the manager's: at the
// second close no handle of the service is open any more.
TEST(InstallAndRemove, TheServiceHandleIsClosedBeforeTheManagerHandle) {
  struct {
    const char* what;
    const char16_t* arguments;
    std::function<void()> setup;
    int result;
  } cases[] = {
      {"installed and started", u"-i", nullptr, 0},
      {"installed, start failed", u"-i",
       [] { SimScriptService(Name, {ERROR_SERVICE_REQUEST_TIMEOUT, 0, false}); }, 7},
      {"removed", u"-r",
       [] { SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING); }, 0},
      {"stop refused", u"-r",
       [] {
         SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING);
         SimFailCall("ControlService", 1, ERROR_ACCESS_DENIED);
       },
       7},
      {"deletion failed", u"-r",
       [] {
         SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_STOPPED);
         SimFailCall("DeleteService", 1, ERROR_ACCESS_DENIED);
       },
       7},
  };
  static int atSecondClose;
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::function<void()> setup = c.setup;
    ChildRun run = RunProgram(
        c.arguments,
        [setup] {
          atSecondClose = -1;
          if (setup) setup();
          NoteServiceHandlesAt("CloseServiceHandle", 2, &atSecondClose);
        },
        [](std::map<std::string, std::string>& extra) {
          extra["open"] = std::to_string(atSecondClose);
          extra["closes"] = std::to_string(SimCallCount("CloseServiceHandle"));
        });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, c.result);
    EXPECT_EQ(run.extra["closes"], "2");
    EXPECT_EQ(run.extra["open"], "0");
  }
}

TEST(Install, OnlyAPathWithABlankIsQuoted) {
  struct {
    std::u16string module;
    std::string registered;
  } cases[] = {
      {u"C:\\Tools\\sorvanel.exe", "C:\\Tools\\sorvanel.exe"},
      {u"C:\\Program Files\\Sorvanel\\sorvanel.exe",
       "\"C:\\Program Files\\Sorvanel\\sorvanel.exe\""},
      {u"C:\\Tools\\my\tflusher.exe", "\"C:\\Tools\\my\tflusher.exe\""},
      {u"C:\\a b\\c d\\sorvanel.exe", "\"C:\\a b\\c d\\sorvanel.exe\""},
  };
  for (auto& c : cases) {
    std::u16string module = c.module;
    ChildRun run = RunAction(u"-i", [module] { SimSetModulePath(module); });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.extra["path"], c.registered);
  }
  // The longest path the start-up accepts still fits with its quotes.
  std::u16string longest = u"C:\\a b\\" + std::u16string(259 - 7 - 4, u'x') + u".exe";
  ASSERT_EQ(longest.size(), 259u);
  ChildRun run = RunAction(u"-i", [longest] { SimSetModulePath(longest); });
  ExpectNoLeaks(run);
  EXPECT_EQ(run.extra["path"], "\"" + SimUtf8(longest) + "\"");
}

// The manager answers the start while the service is still starting: -i waits until it runs
// (its flush event exists from then on), within 30 s, and a service still starting then is
// left to start.
TEST(Install, WaitsUntilTheStartedServiceRuns) {
  struct {
    int queriesUntilRunning;
    int sleeps;
    DWORD state;
  } cases[] = {{3, 3, SERVICE_RUNNING}, {1000000, 30000, SERVICE_START_PENDING}};
  for (auto& c : cases) {
    int queries = c.queriesUntilRunning;
    ChildRun run = RunAction(u"-i", [queries] { SimScriptService(Name, {0, 2, false, queries}); });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.extra["state"], std::to_string(c.state));
    EXPECT_EQ(std::count(run.callLog.begin(), run.callLog.end(), "Sleep"), c.sleeps);
  }
}

TEST(Install, InstallingTwiceLeavesTheFirstServiceAlone) {
  ChildRun run = RunAction(u"-i", [] {
    SimAddService(Name, u"C:\\Old\\sorvanel.exe", SERVICE_RUNNING);
    SimSetRegistryValue(SourceKey, u"EventMessageFile", REG_EXPAND_SZ, std::string("C\0:\0\\\0\0\0", 8));
    SimSetRegistryValue(SourceKey, u"TypesSupported", REG_DWORD, std::string("\3\0\0\0", 4));
  });
  EXPECT_EQ(run.extra["source"], "2 C:\\ 4:3");
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.Out(), "");
  EXPECT_EQ(run.Err(),
            "Cannot create service Tamberlocke_Sorvanel (1073 - The service already exists)\r\n");
  EXPECT_EQ(run.extra["path"], "C:\\Old\\sorvanel.exe");
  EXPECT_EQ(run.extra["state"], std::to_string(SERVICE_RUNNING));
}

TEST(Install, AServiceThatDoesNotStartIsDeletedAgain) {
  static std::string atDelete;
  ChildRun run = RunProgram(
      u"-i",
      [] {
        SimScriptService(Name, {ERROR_SERVICE_REQUEST_TIMEOUT, 0, false});
        // What had been shown when the deletion began: both notes and the error, in order.
        SimOnCall("DeleteService", 1, [] {
          atDelete = SimUtf8(SimConsoleText(STD_OUTPUT_HANDLE)) + "#" +
                     SimUtf8(SimConsoleText(STD_ERROR_HANDLE));
        });
        SimOnCall("StartServiceW", 1, [] {
          if (!SimConsoleText(STD_ERROR_HANDLE).empty()) atDelete = "error before the start";
        });
      },
      [](std::map<std::string, std::string>& extra) {
        extra["atDelete"] = atDelete;
        extra["exists"] = SimService(Name).exists ? "yes" : "no";
        extra["source"] = EventSource();
      });
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.extra["atDelete"],
            "Service Tamberlocke_Sorvanel installed\r\nService did not start, deleting it\r\n#"
            "Cannot start service Tamberlocke_Sorvanel (1053 - The service did not answer the "
            "start or control request in time)\r\n");
  EXPECT_EQ(run.extra["exists"], "no");
  EXPECT_EQ(run.extra["source"], "none");
}

TEST(Install, AFailedDeletionAfterAFailedStartIsShownWithoutTheName) {
  ChildRun run = RunAction(u"-i", [] {
    SimScriptService(Name, {ERROR_SERVICE_REQUEST_TIMEOUT, 0, false});
    SimFailCall("DeleteService", 1, ERROR_ACCESS_DENIED);
  });
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.Err(),
            "Cannot start service Tamberlocke_Sorvanel (1053 - The service did not answer the "
            "start or control request in time)\r\n"
            "Cannot delete service (5 - Access is denied)\r\n");
  EXPECT_EQ(run.extra["exists"], "yes");
  // The service stays, and so does its event source.
  EXPECT_EQ(run.extra["source"], "2 C:\\Program Files\\Sorvanel\\sorvanel.exe 4:7");
}

TEST(Remove, StopsWaitsAndDeletes) {
  // The service reports STOP_PENDING to three queries, then STOPPED.
  static std::string shownBeforeStopped;
  ChildRun run = RunProgram(
      u"-r",
      [] {
        SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING);
        SimSetRegistryValue(SourceKey, u"TypesSupported", REG_DWORD, std::string("\7\0\0\0", 4));
        SimScriptService(Name, {0, 3, false});
        SimOnCall("QueryServiceStatus", 4, [] {
          shownBeforeStopped = SimUtf8(SimConsoleText(STD_OUTPUT_HANDLE));
        });
      },
      [](std::map<std::string, std::string>& extra) {
        extra["shown"] = shownBeforeStopped;
        extra["exists"] = SimService(Name).exists ? "yes" : "no";
        extra["source"] = EventSource();
      });
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.extra["shown"], "");
  EXPECT_EQ(run.Out(), "Service Tamberlocke_Sorvanel removed\r\n");
  EXPECT_EQ(run.Err(), "");
  EXPECT_EQ(run.extra["exists"], "no");
  EXPECT_EQ(run.extra["source"], "none");
  int queries = 0, sleeps = 0;
  for (const std::string& call : run.callLog) {
    queries += call == "QueryServiceStatus";
    sleeps += call == "Sleep";
  }
  EXPECT_EQ(queries, 4);
  EXPECT_EQ(sleeps, 4);
}

TEST(Remove, AStoppedServiceIsDeletedAfterOneSleepAndOneQuery) {
  ChildRun run = RunAction(u"-r", [] { SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_STOPPED); });
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.Out(), "Service Tamberlocke_Sorvanel removed\r\n");
  EXPECT_EQ(run.extra["exists"], "no");
  std::vector<std::string> order;
  for (const std::string& call : run.callLog) {
    if (call == "ControlService" || call == "Sleep" || call == "QueryServiceStatus" ||
        call == "DeleteService") {
      order.push_back(call);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ControlService", "Sleep", "QueryServiceStatus",
                                             "DeleteService"}));
}

TEST(Remove, NothingInstalled) {
  ChildRun run = RunAction(u"-r", nullptr);
  ExpectNoLeaks(run);
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.Err(),
            "Cannot open service Tamberlocke_Sorvanel (1060 - The service is not installed)\r\n");
  EXPECT_EQ(run.Out(), "");
}

TEST(Remove, DeletionFailuresKeepTheTwoLineMessage) {
  const DWORD errors[] = {ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_ACCESS_DENIED};
  const char* texts[] = {"1072 - The service has been marked for deletion", "5 - Access is denied"};
  for (int i = 0; i < 2; ++i) {
    DWORD error = errors[i];
    ChildRun run = RunAction(u"-r", [error] {
      SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_STOPPED);
      SimFailCall("DeleteService", 1, error);
    });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, 7);
    EXPECT_EQ(run.Err(), std::string("Cannot delete service Tamberlocke_Sorvanel (") + texts[i] +
                             ")\r\nService is marked for deletion\r\n");
    EXPECT_EQ(run.Out(), "");
  }
}

// The wait is bounded: 30 s of polling without STOPPED gives up with the timeout's text and
// leaves the registration in place. The tick count may wrap meanwhile. A service that is
// starting or stopping refuses the stop request (1061) until that is over: it is waited for
// within the same 30 s, and asked again once it runs.
TEST(Remove, AServiceThatDoesNotStopOrIsPendingIsGivenThirtySeconds) {
  struct {
    const char* what;
    DWORD startTick;
    DWORD state;
    SimServiceScript script;
    int result;
    int sleeps;
    int controls;
  } cases[] = {
      {"never stops", 1000000, SERVICE_RUNNING, {0, 0, true}, 7, 30000, 1},
      {"never stops, across the tick wrap", 0xFFFFFFFFu - 1000, SERVICE_RUNNING, {0, 0, true}, 7, 30000, 1},
      {"stops at the last query", 1000000, SERVICE_RUNNING, {0, 29999, false}, 0, 30000, 1},
      {"one query too late", 1000000, SERVICE_RUNNING, {0, 30000, false}, 7, 30000, 1},
      {"starting, running at the third query", 1000000, SERVICE_START_PENDING, {0, 2, false, 3}, 0, 6, 2},
      {"stopping", 1000000, SERVICE_STOP_PENDING, {0, 2, false}, 0, 3, 1},
      {"starting for good", 1000000, SERVICE_START_PENDING, {0, 2, false, 1000000}, 7, 30000, 1},
      // Before the service's first status report the manager refuses every control (1052).
      {"starting, not yet reported", 1000000, SERVICE_START_PENDING,
       {0, 2, false, 3, ERROR_INVALID_SERVICE_CONTROL}, 0, 6, 2},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    DWORD start = c.startTick, state = c.state;
    SimServiceScript script = c.script;
    ChildRun run = RunAction(u"-r", [start, state, script] {
      SimSetTickCount(start);
      SimAddService(Name, u"C:\\Tools\\sorvanel.exe", state);
      SimScriptService(Name, script);
    });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, c.result);
    int sleeps = 0, controls = 0;
    for (const std::string& call : run.callLog) {
      sleeps += call == "Sleep";
      controls += call == "ControlService";
    }
    EXPECT_EQ(sleeps, c.sleeps);
    EXPECT_EQ(controls, c.controls);
    if (c.result == 7) {
      EXPECT_EQ(run.Err(), "Cannot stop service Tamberlocke_Sorvanel (1053 - The service did not "
                           "answer the start or control request in time)\r\n");
      EXPECT_EQ(run.extra["exists"], "yes");
      EXPECT_EQ(run.extra["marked"], "no");
    } else {
      EXPECT_EQ(run.extra["exists"], "no");
    }
  }
}

struct FailureRow {
  const char* arguments;
  const char* call;
  unsigned nth;
  DWORD error;
  int result;
  std::string err;
  std::string out;
  const char* exists;
};

// Every call of both actions failed once (the handle closes excepted: a failed close leaves
// nothing that could be done). Every path closes what it opened.
TEST(InstallAndRemove, EachFailedCallIsShownAndLeaksNothing) {
  const std::string installed = "Service Tamberlocke_Sorvanel installed\r\n";
  const FailureRow rows[] = {
      {"-i", "OpenSCManagerW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot open Service Manager (5 - Access is denied)\r\n", "", "no"},
      {"-i", "GetFileSecurityW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot read security of C:\\Program Files\\Sorvanel\\sorvanel.exe (5 - Access is denied)\r\n",
       "", "no"},
      {"-i", "GetFileSecurityW", 2, ERROR_NOT_SUPPORTED, 7,
       "Cannot read security of C:\\Program Files\\Sorvanel\\ (50 - ", "", "no"},
      {"-i", "GetFileAttributesW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot read security of C:\\Program Files\\Sorvanel\\sorvanel.exe (5 - Access is denied)\r\n", "", "no"},
      // The first token reads are the start-up's.
      {"-i", "OpenProcessToken", 2, ERROR_ACCESS_DENIED, 7, "Cannot open process token (5 - Access is denied)\r\n",
       "", "no"},
      {"-i", "GetTokenInformation", 3, ERROR_ACCESS_DENIED, 7, "Cannot get token info (5 - Access is denied)\r\n",
       "", "no"},
      {"-i", "CreateServiceW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot create service Tamberlocke_Sorvanel (5 - Access is denied)\r\n", "", "no"},
      {"-i", "StartServiceW", 1, ERROR_SERVICE_DISABLED, 7,
       "Cannot start service Tamberlocke_Sorvanel (1058 - ", installed, "no"},
      // Waiting for the started service to run: shown, the installation stands.
      {"-i", "QueryServiceStatus", 1, ERROR_INVALID_HANDLE, 0,
       "Cannot query service Tamberlocke_Sorvanel (6 - The handle is not valid)\r\n", installed, "yes"},
      {"-r", "OpenSCManagerW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot open Service Manager (5 - Access is denied)\r\n", "", "yes"},
      {"-r", "OpenServiceW", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot open service Tamberlocke_Sorvanel (5 - Access is denied)\r\n", "", "yes"},
      {"-r", "ControlService", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot stop service Tamberlocke_Sorvanel (5 - Access is denied)\r\n", "", "yes"},
      {"-r", "QueryServiceStatus", 1, ERROR_INVALID_HANDLE, 7,
       "Cannot query service Tamberlocke_Sorvanel (6 - The handle is not valid)\r\n", "", "yes"},
      {"-r", "QueryServiceStatus", 3, ERROR_INVALID_HANDLE, 7,
       "Cannot query service Tamberlocke_Sorvanel (6 - The handle is not valid)\r\n", "", "yes"},
      {"-r", "DeleteService", 1, ERROR_ACCESS_DENIED, 7,
       "Cannot delete service Tamberlocke_Sorvanel (5 - Access is denied)\r\nService is marked "
       "for deletion\r\n",
       "", "yes"},
      // The description, the recovery actions and the event source are shown when they fail,
      // and change no exit code.
      {"-i", "ChangeServiceConfig2W", 1, ERROR_ACCESS_DENIED, 0,
       "Cannot set description of service Tamberlocke_Sorvanel (5 - Access is denied)\r\n", installed, "yes"},
      {"-i", "ChangeServiceConfig2W", 2, ERROR_ACCESS_DENIED, 0,
       "Cannot set recovery of service Tamberlocke_Sorvanel (5 - Access is denied)\r\n", installed, "yes"},
      {"-i", "RegCreateKeyExW", 1, ERROR_ACCESS_DENIED, 0,
       "Cannot register event source Tamberlocke_Sorvanel (5 - Access is denied)\r\n", installed, "yes"},
      {"-i", "RegSetValueExW", 2, ERROR_NOT_ENOUGH_MEMORY, 0,
       "Cannot register event source Tamberlocke_Sorvanel (8 - ", installed, "yes"},
      {"-r", "RegDeleteKeyW", 1, ERROR_ACCESS_DENIED, 0,
       "Cannot remove event source Tamberlocke_Sorvanel (5 - Access is denied)\r\n",
       "Service Tamberlocke_Sorvanel removed\r\n", "no"},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(std::string(row.arguments) + " " + row.call + " #" + std::to_string(row.nth));
    const char* call = row.call;
    unsigned nth = row.nth;
    DWORD error = row.error;
    bool remove = std::string(row.arguments) == "-r";
    ChildRun run = RunAction(SimUtf16(row.arguments), [call, nth, error, remove] {
      if (remove) SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING);
      SimFailCall(call, nth, error);
    });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, row.result);
    EXPECT_EQ(run.Err().substr(0, row.err.size()), row.err);
    EXPECT_EQ(run.Out().substr(0, row.out.size()), row.out);
    EXPECT_EQ(run.extra["exists"], row.exists);
  }
}

// Both actions open the manager with all its rights, and -r opens the service with all of
// its own: nothing less (the simulated manager refuses an operation that a handle lacks the
// right for) and nothing else.
TEST(InstallAndRemove, TheManagerAndTheServiceAreOpenedWithAllAccess) {
  struct {
    const char16_t* arguments;
    bool installed;
    std::string requests;
  } cases[] = {
      {u"-i", false, "OpenSCManagerW  f003f;CreateServiceW Tamberlocke_Sorvanel f01ff;"},
      {u"-r", true, "OpenSCManagerW  f003f;OpenServiceW Tamberlocke_Sorvanel f01ff;"},
  };
  for (auto& c : cases) {
    bool installed = c.installed;
    ChildRun run = RunProgram(
        c.arguments,
        [installed] {
          if (installed) SimAddService(Name, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING);
        },
        [](std::map<std::string, std::string>& extra) {
          std::ostringstream requests;
          for (const SimServiceAccessRequest& r : SimServiceAccessRequests()) {
            requests << r.function << " " << SimUtf8(r.name) << " " << std::hex << r.access << ";";
          }
          extra["requests"] = requests.str();
        });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, 0) << SimUtf8(c.arguments);
    EXPECT_EQ(run.extra["requests"], c.requests) << SimUtf8(c.arguments);
  }
}

TEST(InstallAndRemove, WithoutAdministratorRightsTheManagerCannotBeOpened) {
  for (const char16_t* arguments : {u"-i", u"-r"}) {
    ChildRun run = RunAction(arguments, [] { SimSetServiceManagerDenied(true); });
    ExpectNoLeaks(run);
    EXPECT_EQ(run.exitCode, 7);
    EXPECT_EQ(run.Err(), "Cannot open Service Manager (5 - Access is denied)\r\n");
    EXPECT_EQ(run.Out(), "");
  }
}

}  // namespace
