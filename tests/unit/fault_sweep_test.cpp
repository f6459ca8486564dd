// The whole-program fault sweep: every mode of the program, run in a fresh process with its
// first, second, ... platform call that can fail made to fail, until a run makes no such
// call. Each run must end with a code of the exit-code table, show the failure with its
// message (or stay silent where a failure is not reported), and leave no handle, heap block
// or SID behind. The calls that failed are mapped to their source lines, so the sweep also
// says which call sites of the system's code it reached and which it did not.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "sim/sim_events.h"
#include "sim/sim_profile.h"
#include "sim/sim_service.h"
#include "sim/sim_volumes.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

const std::string SourceRoot = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("tests/unit/"));

// ---- Call sites: the static list, and return addresses mapped to source lines ----------------

struct CallSite {
  std::string file;  // relative to the source root
  std::string function;
  int first, last;   // the lines the call spans
  std::string text;  // the call, from its name to its closing parenthesis
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The functions that can fail: those whose simulation begins with SimFault.
std::set<std::string> FailableFunctions() {
  std::set<std::string> names;
  std::regex fault("SimFault\\(\"(\\w+)\"\\)");
  for (auto& entry : std::filesystem::directory_iterator(SourceRoot + "tests/sim")) {
    std::string text = ReadAll(entry.path().string());
    for (std::sregex_iterator m(text.begin(), text.end(), fault), end; m != end; ++m) names.insert((*m)[1]);
  }
  return names;
}

// Every call of such a function in the system's own code (the platform layer excluded).
std::vector<CallSite> StaticCallSites() {
  std::set<std::string> failable = FailableFunctions();
  std::vector<CallSite> sites;
  std::regex call("\\b(\\w+)\\(");
  for (const char* folder : {"src/startup", "src/volumes", "src/service", "src/support"}) {
    for (auto& entry : std::filesystem::directory_iterator(SourceRoot + folder)) {
      if (entry.path().extension() != ".cpp") continue;
      std::string text = ReadAll(entry.path().string());
      // Comments blanked, line breaks kept.
      text = std::regex_replace(text, std::regex("//[^\n]*"), "");
      for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m) {
        if (!failable.count((*m)[1])) continue;
        size_t open = m->position(0) + m->length(0) - 1, close = open;
        for (int depth = 0; close < text.size(); ++close) {
          depth += text[close] == '(' ? 1 : text[close] == ')' ? -1 : 0;
          if (depth == 0) break;
        }
        auto lineAt = [&](size_t at) { return 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n')); };
        sites.push_back({std::string(folder) + "/" + entry.path().filename().string(), (*m)[1],
                         lineAt(m->position(0)), lineAt(close),
                         text.substr(m->position(0), close + 1 - m->position(0))});
      }
    }
  }
  return sites;
}

struct Place {
  std::string function;  // demangled
  std::string file;      // relative to the source root when inside it
  int line = 0;
};

uintptr_t LoadBase() {
  uintptr_t base = 0;
  dl_iterate_phdr([](dl_phdr_info* info, size_t, void* data) {
    *static_cast<uintptr_t*>(data) = info->dlpi_addr;
    return 1;  // the first object is the program itself
  }, &base);
  return base;
}

// Maps return addresses to the function and line of their call, with one addr2line run.
std::map<void*, Place> MapAddresses(const std::set<void*>& addresses) {
  std::map<void*, Place> places;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0 || addresses.empty()) return places;
  exe[n] = 0;
  char list[] = "/tmp/sorvanel_sweep_XXXXXX";
  int fd = mkstemp(list);
  if (fd < 0) return places;
  uintptr_t base = LoadBase();
  std::string lines;
  for (void* a : addresses) {
    char hex[32];
    snprintf(hex, sizeof hex, "%zx\n", static_cast<size_t>(reinterpret_cast<uintptr_t>(a) - base - 1));
    lines += hex;
  }
  if (write(fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) lines.clear();
  close(fd);
  std::string command = std::string("addr2line -f -C -e '") + exe + "' < " + list;
  FILE* out = popen(command.c_str(), "r");
  if (out) {
    char buffer[8192];
    for (void* a : addresses) {
      Place place;
      if (!fgets(buffer, sizeof buffer, out)) break;
      place.function = buffer;
      place.function.pop_back();
      if (!fgets(buffer, sizeof buffer, out)) break;
      std::string where = buffer;
      size_t colon = where.rfind(':');
      place.file = where.substr(0, colon);
      if (place.file.rfind(SourceRoot, 0) == 0) place.file = place.file.substr(SourceRoot.size());
      place.line = colon == std::string::npos ? 0 : atoi(where.c_str() + colon + 1);
      places[a] = place;
    }
    pclose(out);
  }
  unlink(list);
  return places;
}

// ---- The modes of the program ---------------------------------------------------------------------

const char16_t ServiceName[] = u"Tamberlocke_Sorvanel";
const char16_t SettingsPath[] = u"C:\\Program Files\\Sorvanel\\sorvanel.ini";
const char16_t EventName[] = u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3";
const DWORD SweepError = ERROR_IO_DEVICE;
const std::string SweepErrorText = "(1117 - ";

// A flush whose own run already shows errors: an open refused with a text too long for the
// error buffer, and a flush failing with an Internet code, so that both fetches of a text
// and the look-up of the Internet module are among the calls. G: has more folder mounts
// than the fixed buffer holds; it and C: flush, so one failed flush leaves the other.
void FlushMachine() {
  SimVolume refused = SimMakeVolume(2, {u"D:\\Data\\Mount\\", u"D:\\My Mount\\"});
  refused.openError = ERROR_ACCESS_DENIED;
  SimVolume failing = SimMakeVolume(3, {u"E:\\"}, DRIVE_REMOVABLE);
  failing.flushError = 12029;
  std::vector<std::u16string> folders = {u"G:\\"};
  for (char16_t n = u'1'; n <= u'4'; ++n) folders.push_back(u"H:\\" + std::u16string(75, n) + u"\\");
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), refused, failing, SimMakeVolume(4, {u"F:\\"}, DRIVE_CDROM),
                 SimMakeVolume(5, folders)});
  SimSetMessage(nullptr, ERROR_ACCESS_DENIED, u"Access is denied" + std::u16string(300, u'!') + u"\r\n");
  SimSetMessage(nullptr, 12029, u"A connection with the server could not be established\r\n");
}

void ServiceMachine() {
  SimSetInteractive(false);
  SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::None);
  SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None);
  SimArrangeServiceStart(ServiceName);
  SimSetVolumes({SimMakeVolume(1, {u"C:\\"}), SimMakeVolume(2, {u"E:\\"}, DRIVE_REMOVABLE)});
  SimSetFile(SettingsPath, "[Main]\r\nSignature=Sorvanel\r\nInterval=0\r\nPriority=low\r\nVolumes=C: X:\r\n");
  // Cycle 1 flushes on request (X: is not found: a box), cycle 2 answers an INTERROGATE,
  // cycle 3 stops.
  AtServiceCycle(1, [] { SimSignalEvent(EventName); });
  AtServiceCycle(2, [] { SimSendControl(SERVICE_CONTROL_INTERROGATE); });
  AtServiceCycle(3, [] { SimSendControl(SERVICE_CONTROL_STOP); });
}

struct SweepMode {
  const char* name;
  const char16_t* arguments;
  std::function<void()> machine;
  int exitCode;  // without a fault
};

const SweepMode Modes[] = {
    {"flush", u"-v C: \"D:\\My Mount\" E: X: G:", FlushMachine, 0},
    {"help", u"-h", [] { SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::Redirected); }, 1},
    {"install", u"-i", nullptr, 0},
    {"install, start refused", u"-i",
     [] { SimScriptService(ServiceName, {ERROR_SERVICE_DISABLED, 0, false}); }, 7},
    {"remove", u"-r",
     [] {
       SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Redirected);
       SimAddService(ServiceName, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING);
     },
     0},
    // A standard user's program, which the user owns: refused, with the user's name.
    {"install, a user's program", u"-i",
     [] { SimSetFileSecurity(u"C:\\Program Files\\Sorvanel\\sorvanel.exe", {SimMachineDomain + "-1001", true, false, {}}); },
     7},
    {"install, already installed", u"-i",
     [] { SimAddService(ServiceName, u"C:\\Tools\\sorvanel.exe", SERVICE_RUNNING); }, 7},
    {"remove, not installed", u"-r", nullptr, 7},
    {"flush, enumeration broken off", u"E:",
     [] {
       FlushMachine();
       SimFailCall("FindNextVolumeW", 2, ERROR_NOT_READY);
     },
     3},
    {"notify", u"-v -f", [] { CreateEventW(nullptr, FALSE, FALSE, FlushRequestEventName); }, 0},
    {"service", u"", ServiceMachine, 0},
    // Somebody made the flush event first: the service closes it and goes on without one.
    {"service, event taken", u"",
     [] {
       ServiceMachine();
       SimCreateForeignEvent(EventName, true, {});
     },
     0},
    // Before Windows 6.0 the service's errors also appear in boxes.
    {"service on XP", u"",
     [] {
       SimSetVersion(5, 1);
       ServiceMachine();
     },
     0},
};

// ---- What a failed call must lead to -------------------------------------------------------------

enum class Left { Nothing, Handle, HeapBlock };
const int OwnCode = -1;  // the mode's exit code without a fault
const int AnyCode = -2;  // a failed comparison only makes two texts differ: any code of the table

// The first rule whose function matches ("*": any) and whose `within` names a function on the
// calling stack or a part of the call's text, or several joined by "&" (or is empty),
// applies. A message ending in "(" is the
// line that shows the error's text, the only one (a "*" in it stands for any text); any
// other message is shown without it; an empty message means that the failure is not
// reported.
struct SiteRule {
  const char* function;
  const char* within;
  const char* message;
  int exitCode;
  Left left;
};

const SiteRule Rules[] = {
    {"GetStdHandle", "", "", 7, Left::Nothing},
    {"GetVersionExW", "", "", 999, Left::Nothing},
    {"QueryPerformanceFrequency", "", "", 999, Left::Nothing},
    {"HeapFree", "", "", OwnCode, Left::HeapBlock},
    {"GetProcessHeap", "ProcessHeapFree", "", OwnCode, Left::HeapBlock},
    {"HeapAlloc", "RuntimeStartup", "", 999, Left::Nothing},
    {"GetProcessHeap", "RuntimeStartup", "", 999, Left::Nothing},
    {"HeapAlloc", "RegisterAtExit", "", OwnCode, Left::Nothing},
    {"GetProcessHeap", "RegisterAtExit", "", OwnCode, Left::Nothing},
    {"HeapAlloc", "TokenHoldsInteractive", "Cannot get token info (8 - ", OwnCode, Left::Nothing},
    {"GetProcessHeap", "TokenHoldsInteractive", "Cannot get token info (8 - ", OwnCode, Left::Nothing},
    {"HeapAlloc", "LoadSettings", "No memory for volume descriptor", OwnCode, Left::Nothing},
    {"GetProcessHeap", "LoadSettings", "No memory for volume descriptor", OwnCode, Left::Nothing},
    {"HeapAlloc", "ParseTemplates", "No memory for volume descriptor", 8, Left::Nothing},
    {"GetProcessHeap", "ParseTemplates", "No memory for volume descriptor", 8, Left::Nothing},
    {"HeapAlloc", "ReadMountPaths", "No memory for mount paths", 8, Left::Nothing},
    {"GetProcessHeap", "ReadMountPaths", "No memory for mount paths", 8, Left::Nothing},
    {"GetModuleFileNameW", "", "Cannot get module path (", 7, Left::Nothing},
    {"OpenProcessToken", "InstallService", "Cannot open process token (", 7, Left::Nothing},
    {"OpenProcessToken", "", "Cannot open process token (", OwnCode, Left::Nothing},
    {"GetTokenInformation", "InstallService", "Cannot get token info (", 7, Left::Nothing},
    {"GetTokenInformation", "nullptr, 0, &size", "Cannot open token info size (", OwnCode, Left::Nothing},
    {"GetTokenInformation", "", "Cannot get token info (", OwnCode, Left::Nothing},
    {"AllocateAndInitializeSid", "TokenHoldsInteractive", "Cannot init SID (", OwnCode, Left::Nothing},
    {"CloseHandle", "", "", OwnCode, Left::Handle},
    {"CloseServiceHandle", "", "", OwnCode, Left::Handle},
    {"FindVolumeClose", "", "", OwnCode, Left::Handle},
    // The flush loop's attempts to make the event again are quiet.
    {"*", "CreateFlushEvent&FlushLoop", "", OwnCode, Left::Nothing},
    {"CompareStringW", "", "", AnyCode, Left::Nothing},
    {"StartServiceCtrlDispatcherW", "", "Cannot start service control dispatcher (", 7, Left::Nothing},
    // Output, error texts and the settings that have defaults: failures are not reported.
    {"GetConsoleMode", "", "", OwnCode, Left::Nothing},
    {"WriteConsoleW", "", "", OwnCode, Left::Nothing},
    {"WideCharToMultiByte", "", "", OwnCode, Left::Nothing},
    {"WriteFile", "", "", OwnCode, Left::Nothing},
    {"MessageBoxW", "", "", OwnCode, Left::Nothing},
    {"FormatMessageW", "", "", OwnCode, Left::Nothing},
    {"GetModuleHandleW", "", "", OwnCode, Left::Nothing},
    {"GetPrivateProfileIntW", "", "", OwnCode, Left::Nothing},
    {"GetPrivateProfileStringW", "SignatureMatches", "No signature in \"", OwnCode, Left::Nothing},
    {"GetPrivateProfileStringW", "", "", OwnCode, Left::Nothing},
    {"CreateFileW", "SettingsFileOpens", "Cannot open \"C:\\Program Files\\Sorvanel\\sorvanel.ini\" (", OwnCode,
     Left::Nothing},
    // Volumes: a volume whose paths or type cannot be read takes no part.
    {"FindFirstVolumeW", "ServiceMain", "Cannot enumerate volumes (", OwnCode, Left::Nothing},
    {"FindFirstVolumeW", "", "Cannot enumerate volumes (", 3, Left::Nothing},
    {"FindNextVolumeW", "ServiceMain", "Cannot find next volume (", OwnCode, Left::Nothing},
    {"FindNextVolumeW", "", "Cannot find next volume (", 3, Left::Nothing},
    {"GetVolumePathNamesForVolumeNameW", "", "", OwnCode, Left::Nothing},
    {"GetDriveTypeW", "InstallService", "C:\\Program Files\\Sorvanel\\sorvanel.exe is not on a local fixed drive", 7,
     Left::Nothing},
    {"GetDriveTypeW", "", "", OwnCode, Left::Nothing},
    {"CreateFileW", "FlushOneVolume", "Cannot open \\\\?\\Volume{*(", OwnCode, Left::Nothing},
    {"FlushFileBuffers", "", "Cannot flush \\\\?\\Volume{*(", OwnCode, Left::Nothing},
    // Installation and removal.
    {"OpenSCManagerW", "", "Cannot open Service Manager (", 7, Left::Nothing},
    {"GetFileSecurityW", "InstallService", "Cannot read security of C:\\*(", 7, Left::Nothing},
    {"GetFileSecurityW", "ServiceMain", "Cannot read security of C:\\*(", OwnCode, Left::Nothing},
    {"GetFileAttributesW", "InstallService", "Cannot read security of C:\\*(", 7, Left::Nothing},
    {"GetFileAttributesW", "ServiceMain", "Cannot read security of C:\\*(", OwnCode, Left::Nothing},
    // Without the machine's account domain, or without a name, the user is named by the SID.
    {"LsaOpenPolicy", "", "S-1-5-21-111-222-333-1001 may change the permissions of", 7, Left::Nothing},
    {"LsaQueryInformationPolicy", "", "S-1-5-21-111-222-333-1001 may change the permissions of", 7, Left::Nothing},
    {"LookupAccountSidW", "", "S-1-5-21-111-222-333-1001 may change the permissions of", 7, Left::Nothing},
    {"QueryServiceStatus", "InstallService", "Cannot query service Tamberlocke_Sorvanel (", OwnCode, Left::Nothing},
    {"CreateServiceW", "", "Cannot create service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    {"StartServiceW", "", "Cannot start service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    {"DeleteService", "InstallService", "Cannot delete service (", 7, Left::Nothing},
    {"OpenServiceW", "", "Cannot open service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    {"ControlService", "", "Cannot stop service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    {"QueryServiceStatus", "", "Cannot query service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    {"DeleteService", "RemoveService", "Cannot delete service Tamberlocke_Sorvanel (", 7, Left::Nothing},
    // The description, the recovery actions and the event source: shown, the exit code kept.
    {"ChangeServiceConfig2W", "SERVICE_CONFIG_DESCRIPTION", "Cannot set description of service Tamberlocke_Sorvanel (",
     OwnCode, Left::Nothing},
    {"ChangeServiceConfig2W", "", "Cannot set recovery of service Tamberlocke_Sorvanel (", OwnCode, Left::Nothing},
    {"RegCreateKeyExW", "", "Cannot register event source Tamberlocke_Sorvanel (", OwnCode, Left::Nothing},
    {"RegSetValueExW", "", "Cannot register event source Tamberlocke_Sorvanel (", OwnCode, Left::Nothing},
    {"RegCloseKey", "", "", OwnCode, Left::Handle},
    {"RegDeleteKeyW", "", "Cannot remove event source Tamberlocke_Sorvanel (", OwnCode, Left::Nothing},
    // The event log: a failure to write an event is silent, the text is lost.
    {"RegisterEventSourceW", "", "", OwnCode, Left::Nothing},
    {"ReportEventW", "", "", OwnCode, Left::Nothing},
    {"DeregisterEventSource", "", "", OwnCode, Left::Handle},
    // The -f client.
    {"OpenEventW", "", "Cannot open flush event (", 7, Left::Nothing},
    {"SetEvent", "", "Cannot set flush event (", 7, Left::Nothing},
    // The service's life: nothing but the handler registration ends it.
    {"RegisterServiceCtrlHandlerW", "", "Cannot register service handler (", OwnCode, Left::Nothing},
    {"SetServiceStatus", "", "Cannot set service status (", OwnCode, Left::Nothing},
    {"DuplicateHandle", "", "Cannot get service thread handle (", OwnCode, Left::Nothing},
    {"InitializeAcl", "", "Cannot create flush event (", OwnCode, Left::Nothing},
    {"AddAccessAllowedAce", "", "Cannot create flush event (", OwnCode, Left::Nothing},
    {"InitializeSecurityDescriptor", "", "Cannot create flush event (", OwnCode, Left::Nothing},
    {"SetSecurityDescriptorDacl", "", "Cannot create flush event (", OwnCode, Left::Nothing},
    {"CreateEventW", "", "Cannot create flush event (", OwnCode, Left::Nothing},
    // The owner of an event that somebody made first: unread, the event is not used.
    {"GetKernelObjectSecurity", "", "Cannot create flush event (183 - ", OwnCode, Left::Nothing},
    {"SetThreadPriority", "ServiceControlHandler", "Cannot reset thread priority (", OwnCode, Left::Nothing},
    {"SetThreadPriority", "ServiceMain", "Cannot set thread priority -1 (", OwnCode, Left::Nothing},
    {"WaitForSingleObject", "", "", OwnCode, Left::Nothing},
};

// Call sites that no mode of the whole program reaches, with the test that fails them.
struct Unreached {
  const char* file;
  const char* text;  // a fragment of the call
  const char* why;
};

const Unreached UnreachedSites[] = {
    {"src/support/output.cpp", "length * sizeof(WCHAR)",
     "UTF-16 output is used only before start-up turns the code page on, and start-up shows "
     "nothing before it; Output.FailedConversionOrWriteReturnsFalseAndShowsNothingElse fails it"},
};

struct SweptRun {
  const SweepMode* mode;
  unsigned nth;
  ChildRun run;
};

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::vector<std::string> Handles(const std::string& list) {
  std::vector<std::string> handles;
  if (list == "none") return handles;
  std::stringstream s(list);
  for (std::string item; std::getline(s, item, ',');) handles.push_back(item[0] == ' ' ? item.substr(1) : item);
  std::sort(handles.begin(), handles.end());
  return handles;
}

void CheckRun(const SweptRun& swept, const ChildRun& baseline, const SiteRule& rule) {
  const ChildRun& run = swept.run;
  EXPECT_TRUE(run.exitedThroughExitProcess);
  static const std::set<int> table = {0, 1, 2, 3, 6, 7, 8, 999};
  EXPECT_TRUE(table.count(run.exitCode)) << run.exitCode;
  int code = rule.exitCode == OwnCode ? swept.mode->exitCode : rule.exitCode;
  if (rule.exitCode != AnyCode) {
    EXPECT_EQ(run.exitCode, code);
  }

  // Before Windows 6.0 the service shows each error twice, as an event and in a box.
  std::string errors = run.ErrorEventTexts().empty() ? run.BoxTexts() : run.ErrorEventTexts();
  std::string shown = run.Err() + run.Out() + "\n" + errors;
  std::string message = rule.message;
  bool withText = !message.empty() && message.back() == '(';
  size_t star = message.find('*');
  std::string head = message.substr(0, star), tail = star == std::string::npos ? "" : message.substr(star + 1);
  EXPECT_EQ(Count(shown, SweepErrorText), withText ? 1 : 0) << shown;
  EXPECT_NE(shown.find(head), std::string::npos) << head << " in\n" << shown;
  if (withText) {
    size_t at = shown.find(SweepErrorText);
    size_t lineStart = shown.find_last_of("\n", at);
    std::string line = shown.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
    line = line.substr(0, line.find(SweepErrorText) + 1);
    EXPECT_EQ(line.rfind(head, 0), 0u) << "the error's text is not on the line of " << message << ":\n" << shown;
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), tail.size())), tail) << shown;
  }

  // What was left: only what the run without a fault leaves (the flush events), and the one
  // object whose release failed.
  std::vector<std::string> before = Handles(baseline.openHandleList), after = Handles(run.openHandleList);
  std::vector<std::string> extra;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(extra));
  EXPECT_EQ(extra.size(), rule.left == Left::Handle ? 1u : 0u) << run.openHandleList;
  EXPECT_EQ(run.liveHeapBlocks, rule.left == Left::HeapBlock ? 1 : 0);
  EXPECT_EQ(run.liveSids, 0);
  EXPECT_EQ(run.breakpoints, 0);
}

ChildRun RunMode(const SweepMode& mode, unsigned nth) {
  return RunProgram(mode.arguments, [&mode, nth] {
    if (mode.machine) mode.machine();
    if (nth) SimFailNthCall(nth, SweepError);
  });
}

TEST(ProgramFaultSweep, EveryFailableCallOfEveryModeFailedInTurn) {
  std::vector<SweptRun> runs;
  std::map<const SweepMode*, ChildRun> baselines;
  for (const SweepMode& mode : Modes) {
    SCOPED_TRACE(mode.name);
    ChildRun baseline = RunMode(mode, 0);
    ASSERT_TRUE(baseline.finished) << baseline.failure;
    EXPECT_EQ(baseline.exitCode, mode.exitCode);
    EXPECT_EQ(Count(baseline.Err() + baseline.BoxTexts() + baseline.ErrorEventTexts(), SweepErrorText), 0);
    EXPECT_EQ(baseline.liveHeapBlocks, 0);
    EXPECT_EQ(baseline.liveSids, 0);
    for (const std::string& handle : Handles(baseline.openHandleList)) {
      EXPECT_EQ(handle, "event Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3");
    }
    baselines[&mode] = baseline;
    for (unsigned nth = 1;; ++nth) {
      ChildRun run = RunMode(mode, nth);
      ASSERT_TRUE(run.finished) << "call " << nth << ": " << run.failure;
      std::vector<SimFaultHit> swept;
      for (const SimFaultHit& hit : run.faultHits) {
        if (hit.nthCall) swept.push_back(hit);
      }
      if (swept.empty()) break;
      run.faultHits = swept;
      ASSERT_LT(nth, 2000u) << "the sweep does not end";
      runs.push_back({&mode, nth, run});
    }
  }

  std::set<void*> addresses;
  for (const SweptRun& r : runs) {
    for (const SimFaultHit& hit : r.run.faultHits) addresses.insert(hit.stack.begin(), hit.stack.end());
  }
  std::map<void*, Place> places = MapAddresses(addresses);
  ASSERT_FALSE(places.empty()) << "addr2line gave no answer";

  std::vector<CallSite> sites = StaticCallSites();
  std::vector<bool> failed(sites.size(), false);
  for (const SweptRun& r : runs) {
    ASSERT_EQ(r.run.faultHits.size(), 1u);
    const SimFaultHit& hit = r.run.faultHits[0];
    // The call site: the first frame outside the simulation.
    std::string stackText;
    const Place* site = nullptr;
    for (void* frame : hit.stack) {
      const Place& place = places[frame];
      if (place.file.rfind("tests/unit/", 0) == 0) break;
      stackText += place.function + " " + place.file + ":" + std::to_string(place.line) + "\n";
      if (!site && place.file.rfind("src/", 0) == 0 && place.file.rfind("src/platform/", 0) != 0) site = &place;
    }
    SCOPED_TRACE(std::string(r.mode->name) + ", call " + std::to_string(r.nth) + " " + hit.function + "\n" +
                 stackText);
    ASSERT_NE(site, nullptr) << "the failed call was not made by the system's code";
    const CallSite* known = nullptr;
    for (size_t i = 0; i < sites.size(); ++i) {
      if (site->file == sites[i].file && sites[i].function == hit.function && site->line >= sites[i].first &&
          site->line <= sites[i].last) {
        failed[i] = true;
        known = &sites[i];
      }
    }
    ASSERT_NE(known, nullptr) << "not in the static list of call sites";
    std::string context = stackText + known->text;
    const SiteRule* rule = nullptr;
    for (const SiteRule& candidate : Rules) {
      if (hit.function != candidate.function && std::string(candidate.function) != "*") continue;
      bool within = true;
      std::stringstream parts(candidate.within);
      for (std::string part; std::getline(parts, part, '&');) within = within && context.find(part) != std::string::npos;
      if (!within) continue;
      rule = &candidate;
      break;
    }
    ASSERT_NE(rule, nullptr) << "no rule for this call";
    CheckRun(r, baselines[r.mode], *rule);
  }

  int count = 0;
  std::vector<std::string> missed;
  for (size_t i = 0; i < sites.size(); ++i) {
    if (failed[i]) {
      ++count;
      continue;
    }
    bool expected = false;
    for (const Unreached& u : UnreachedSites) {
      expected |= sites[i].file == u.file && sites[i].text.find(u.text) != std::string::npos;
    }
    std::string where = sites[i].file + ":" + std::to_string(sites[i].first) + " " + sites[i].function;
    EXPECT_TRUE(expected) << where << " is never failed by the sweep";
    missed.push_back(where);
  }
  printf("Fault sweep: %zu runs; %d of %zu call sites of the system's code failed at least once\n", runs.size(),
         count, sites.size());
  for (const std::string& where : missed) printf("  not failed by the sweep: %s\n", where.c_str());
  EXPECT_EQ(missed.size(), sizeof UnreachedSites / sizeof UnreachedSites[0]);
}

}  // namespace
