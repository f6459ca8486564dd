// The settings file beside the executable, read as the service reads it at start.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "service/settings.h"
#include "sim/sim_profile.h"
#include "startup/program.h"
#include "support/linked_list.h"
#include "unit/child_run.h"
#include "volumes/templates.h"

namespace {

const char16_t DefaultModule[] = u"C:\\Program Files\\Sorvanel\\sorvanel.exe";
const char16_t DefaultIni[] = u"C:\\Program Files\\Sorvanel\\sorvanel.ini";
const char DefaultIniUtf8[] = "C:\\Program Files\\Sorvanel\\sorvanel.ini";

struct Outcome {
  ChildRun run;
  std::string interval, priority, templates;
};

// Runs LoadSettings as the service does: in a fresh process, without output handles (so
// errors become message boxes), with the stored module path given.
Outcome Load(const std::u16string& module, std::function<void()> setup) {
  ChildScenario scenario;
  scenario.setup = [module, setup] {
    size_t n = module.size() < MAX_PATH - 1 ? module.size() : MAX_PATH - 1;
    std::copy(module.begin(), module.begin() + n, ModulePath);
    ModulePath[n] = 0;
    if (setup) setup();
  };
  // The body writes down what was read and empties the global list, so that any heap
  // block still live afterwards is a leak.
  static std::string templates;
  scenario.body = [] {
    int result = LoadSettings();
    templates.clear();
    for (ListNode* node = FirstNode(&GlobalTemplateList); node; node = NextNode(node)) {
      if (!templates.empty()) templates += "|";
      templates += SimUtf8(reinterpret_cast<VolumeTemplate*>(node)->text);
    }
    EmptyTemplateList(&GlobalTemplateList);
    return result;
  };
  scenario.collect = [](std::map<std::string, std::string>& extra) {
    extra["interval"] = std::to_string(ServiceSettings.intervalSeconds);
    extra["priority"] = std::to_string(ServiceSettings.threadPriority);
    extra["templates"] = templates;
  };
  Outcome outcome;
  outcome.run = RunInChild(scenario);
  outcome.interval = outcome.run.extra["interval"];
  outcome.priority = outcome.run.extra["priority"];
  outcome.templates = outcome.run.extra["templates"];
  return outcome;
}

Outcome LoadFile(const std::string& text) {
  return Load(DefaultModule, [text] { SimSetFile(DefaultIni, text); });
}

void ExpectClean(const ChildRun& run) {
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

// The settings example that the Windows package ships, with CR LF line ends as shipped.
// With `volumes`, the live Volumes line is replaced by the commented example line that
// reads ";     Volumes=<volumes>", so that the examples in its comments are tried too.
std::string ShippedExample(const std::string& volumes = "") {
  std::ifstream file(SORVANEL_SOURCE_DIR "/packaging/windows/sorvanel.ini.example");
  std::stringstream lines;
  lines << file.rdbuf();
  std::string text;
  bool found = volumes.empty();
  for (std::string line; std::getline(lines, line);) {
    if (!volumes.empty() && line == "Volumes=") continue;
    if (!volumes.empty() && line == ";     Volumes=" + volumes) {
      line = line.substr(6);
      found = true;
    }
    text += line + "\r\n";
  }
  return found ? text : "";  // no such example line: an empty file, which fails the row
}

struct Row {
  const char* what;
  std::string file;
  int result;
  std::string interval, priority, templates;
  std::string box;  // the one message box expected; empty: none
};

TEST(Settings, EveryKeyAndItsRejections) {
  const std::string sig = "[Main]\r\nSignature=Sorvanel\r\n";
  const std::string rangeBox = "Flush interval must be within 5..1000. Defaulting to 30";
  const Row rows[] = {
      {"complete file", sig + "Interval=60\r\nPriority=low\r\nVolumes=C: \"D:\\Mount Point\"\r\n",
       0, "60", "-1", "C:|D:\\Mount Point", ""},
      {"signature only", sig, 0, "30", "0", "", ""},
      {"signature in another case", "[main]\nsignature=SORVANEL\nInterval=45\n", 0, "45", "0", "",
       ""},
      {"no signature key", "[Main]\nInterval=60\nPriority=low\nVolumes=C:\n", 5, "30", "0", "",
       std::string("No signature in \"") + DefaultIniUtf8 + "\""},
      {"empty signature", "[Main]\nSignature=\nInterval=60\n", 5, "30", "0", "",
       std::string("No signature in \"") + DefaultIniUtf8 + "\""},
      {"signature in another section", "[Other]\nSignature=Sorvanel\n", 5, "30", "0", "",
       std::string("No signature in \"") + DefaultIniUtf8 + "\""},
      {"wrong signature", "[Main]\nSignature=Sorvanelle\nInterval=60\n", 5, "30", "0", "",
       "Invalid signature \"Sorvanelle\""},
      {"signature cut to 19", "[Main]\nSignature=SorvanelSorvanelSorvanel\n", 5, "30", "0", "",
       "Invalid signature \"SorvanelSorvanelSor\""},
      {"interval 0", sig + "Interval=0\n", 0, "0", "0", "", ""},
      {"interval 1", sig + "Interval=1\nPriority=high\n", 0, "30", "1", "", rangeBox},
      {"interval 4", sig + "Interval=4\n", 0, "30", "0", "", rangeBox},
      {"interval 5", sig + "Interval=5\n", 0, "5", "0", "", ""},
      {"interval 1000", sig + "Interval=1000\n", 0, "1000", "0", "", ""},
      {"interval 1001", sig + "Interval=1001\n", 0, "30", "0", "", rangeBox},
      {"interval -1 reads as 4294967295", sig + "Interval=-1\n", 0, "30", "0", "", rangeBox},
      {"interval from leading digits", sig + "Interval=90s\n", 0, "90", "0", "", ""},
      {"interval without digits reads 0", sig + "Interval=often\n", 0, "0", "0", "", ""},
      {"empty interval keeps 30", sig + "Interval=\n", 0, "30", "0", "", ""},
      {"priority idle", sig + "Priority=idle\n", 0, "30", "-15", "", ""},
      {"priority lowest", sig + "Priority=lowest\n", 0, "30", "-2", "", ""},
      {"priority Low", sig + "Priority=Low\n", 0, "30", "-1", "", ""},
      {"priority normal", sig + "Priority=normal\n", 0, "30", "0", "", ""},
      {"priority high", sig + "Priority=high\n", 0, "30", "1", "", ""},
      {"priority HIGHEST", sig + "Priority=HIGHEST\n", 0, "30", "2", "", ""},
      {"priority quoted", sig + "Priority=\"idle\"\n", 0, "30", "-15", "", ""},
      {"priority realtime goes on to the volumes", sig + "Priority=realtime\nVolumes=E:\n", 0,
       "30", "0", "E:", "Invalid thread priority \"realtime\""},
      {"priority cut to 9", sig + "Priority=highestxyz\n", 0, "30", "0", "",
       "Invalid thread priority \"highestxy\""},
      {"empty priority changes nothing, silently", sig + "Priority=\nVolumes=E:\n", 0, "30", "0",
       "E:", ""},
      {"empty volumes", sig + "Volumes=\n", 0, "30", "0", "", ""},
      {"one quoted template, quoted twice", sig + "Volumes=\"\"D:\\Mount Point\"\"\n", 0, "30",
       "0", "D:\\Mount Point", ""},
      {"third template empty", sig + "Volumes=C: D: \"\" E:\n", 2, "30", "0", "C:|D:",
       "Error in volume template"},
      {"the shipped example, renamed", ShippedExample(), 0, "30", "0", "", ""},
      {"its first Volumes example", ShippedExample("C: D:"), 0, "30", "0", "C:|D:", ""},
      {"its second Volumes example", ShippedExample("C: \"D:\\Mount Point\" E:\\Data\\*"), 0,
       "30", "0", "C:|D:\\Mount Point|E:\\Data\\*", ""},
      {"its third Volumes example", ShippedExample("\"\"D:\\Mount Point\"\""), 0, "30", "0",
       "D:\\Mount Point", ""},
      // The value loses its outer quotes, so two quoted templates need one more pair.
      {"two quoted templates lose the outer quotes", sig + "Volumes=\"D:\\a b\" \"E:\\c d\"\n",
       0, "30", "0", "D:\\a|b\"|E:\\c d", ""},
      {"two quoted templates, quoted once more", sig + "Volumes=\"\"D:\\a b\" \"E:\\c d\"\"\n", 0,
       "30", "0", "D:\\a b|E:\\c d", ""},
      // The file as Windows reads it: whole, zero characters ending only their line, and
      // without a byte-order mark in the ANSI code page (1252).
      {"section past 32 KiB", "; " + std::string(40000, '-') + "\n" + sig + "Interval=60\n", 0,
       "60", "0", "", ""},
      {"zero after the signature", sig.substr(0, sig.size() - 2) + std::string("\0\nInterval=60\n", 14),
       0, "60", "0", "", ""},
      {"ANSI file", sig + "Volumes=D:\\Caf\xE9\n", 0, "30", "0", "D:\\Caf\xC3\xA9", ""},
      {"UTF-8 file without byte-order mark", sig + "Volumes=D:\\Caf\xC3\xA9\n", 0, "30", "0",
       "D:\\Caf\xC3\x83\xC2\xA9", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Outcome got = LoadFile(row.file);
    ExpectClean(got.run);
    EXPECT_EQ(got.run.exitCode, row.result);
    EXPECT_EQ(got.interval, row.interval);
    EXPECT_EQ(got.priority, row.priority);
    EXPECT_EQ(got.templates, row.templates);
    EXPECT_EQ(got.run.BoxTexts(), row.box);
  }
}

// The service compares in the system's locale, where in Turkish the capital of i is İ. The
// words are compared in the invariant locale: HIGH is high everywhere.
TEST(Settings, PriorityWordsInATurkishLocale) {
  struct {
    DWORD major, minor;
    std::string word, priority;
  } cases[] = {{10, 0, "HIGH", "1"}, {6, 1, "IDLE", "-15"}, {5, 1, "HIGHEST", "2"}, {5, 1, "hIgh", "1"}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.word + " on " + std::to_string(c.major) + "." + std::to_string(c.minor));
    DWORD major = c.major, minor = c.minor;
    std::string file = "[Main]\nSignature=SORVANEL\nPriority=" + c.word + "\n";
    Outcome got = Load(DefaultModule, [major, minor, file] {
      SimSetTurkishLocale(true);
      SimSetVersion(major, minor);
      SimSetFile(DefaultIni, file);
    });
    ExpectClean(got.run);
    EXPECT_EQ(got.run.exitCode, 0);
    EXPECT_EQ(got.priority, c.priority);
    EXPECT_EQ(got.run.BoxTexts(), "");
  }
}

// A machine whose ANSI code page is UTF-8 (a choice Windows offers) reads UTF-8 files.
TEST(Settings, AFileWithoutByteOrderMarkIsReadInTheMachinesAnsiCodePage) {
  Outcome got = Load(DefaultModule, [] {
    SimSetAnsiCodePage(CP_UTF8);
    SimSetFile(DefaultIni, "[Main]\nSignature=Sorvanel\nVolumes=D:\\Caf\xC3\xA9\n");
  });
  ExpectClean(got.run);
  EXPECT_EQ(got.templates, "D:\\Caf\xC3\xA9");
}

TEST(Settings, VolumesAreReadUpTo2047Characters) {
  std::string volumes;
  for (int i = 0; i < 700; ++i) volumes += "X: ";  // 2100 characters
  Outcome got = LoadFile("[Main]\nSignature=Sorvanel\nVolumes=" + volumes + "\n");
  EXPECT_EQ(got.run.exitCode, 0);
  // 682 whole templates in 2046 characters, then the "X" of the 683rd.
  size_t count = 1;
  for (char ch : got.templates) count += ch == '|';
  EXPECT_EQ(count, 683u);
  ASSERT_GE(got.templates.size(), 7u);
  EXPECT_EQ(got.templates.substr(got.templates.size() - 7), "X:|X:|X");
}

TEST(Settings, TheSettingsPathComesFromTheModulePath) {
  struct {
    const char* what;
    std::u16string module;
    int result;
    std::string box;
  } cases[] = {
      {"capital extension", u"C:\\Tools\\SORVANEL.EXE", 0, ""},
      {"other extension", u"C:\\Tools\\sorvanel.com", 7,
       "Invalid module path: C:\\Tools\\sorvanel.com"},
      {"no extension", u"C:\\Tools\\sorvanel", 7, "Invalid module path: C:\\Tools\\sorvanel"},
      {"four characters", u".exe", 7, "Invalid module path: .exe"},
      {"five characters", u"a.exe", 0, ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string ini = c.module.size() >= 4 ? c.module.substr(0, c.module.size() - 4) + u".ini"
                                              : u"";
    Outcome got = Load(c.module, [ini] { SimSetFile(ini, "[Main]\nSignature=Sorvanel\nInterval=77\n"); });
    ExpectClean(got.run);
    EXPECT_EQ(got.run.exitCode, c.result);
    EXPECT_EQ(got.run.BoxTexts(), c.box);
    EXPECT_EQ(got.interval, c.result == 0 ? "77" : "30");
  }
}

TEST(Settings, AMissingOrUnopenableFileKeepsTheDefaults) {
  Outcome missing = Load(DefaultModule, nullptr);
  ExpectClean(missing.run);
  EXPECT_EQ(missing.run.exitCode, 4);
  EXPECT_TRUE(missing.run.boxes.empty());
  EXPECT_EQ(missing.interval, "30");
  EXPECT_EQ(missing.priority, "0");
  EXPECT_EQ(SimCallCount("GetPrivateProfileStringW"), 0u);

  Outcome denied = Load(DefaultModule, [] {
    SimSetFile(DefaultIni, "[Main]\nSignature=Sorvanel\nInterval=60\n");
    SimSetFileOpenError(DefaultIni, ERROR_SHARING_VIOLATION);
  });
  ExpectClean(denied.run);
  EXPECT_EQ(denied.run.exitCode, 4);
  EXPECT_EQ(denied.run.BoxTexts(), std::string("Cannot open \"") + DefaultIniUtf8 +
                                       "\" (32 - The file is in use by another process)");
  EXPECT_EQ(denied.interval, "30");
}

// The test open reads and shares reading only: it agrees with another reader of the file
// that shares only reading, and not with a writer, whatever that writer shares.
TEST(Settings, TheFileIsTestedForReadingSharedWithOtherReaders) {
  const std::string busy = std::string("Cannot open \"") + DefaultIniUtf8 +
                           "\" (32 - The file is in use by another process)";
  struct {
    const char* what;
    DWORD access, share;
    int result;
    std::string interval, box;
  } cases[] = {
      {"a reader that shares reading", GENERIC_READ, FILE_SHARE_READ, 0, "60", ""},
      {"a reader that shares everything", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | 4, 0,
       "60", ""},
      {"a writer that shares reading", GENERIC_WRITE, FILE_SHARE_READ, 4, "30", busy},
      {"a writer that shares everything", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | 4, 4,
       "30", busy},
      {"a reader that shares nothing", GENERIC_READ, 0, 4, "30", busy},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    DWORD access = c.access, share = c.share;
    Outcome got = Load(DefaultModule, [access, share] {
      SimSetFile(DefaultIni, "[Main]\nSignature=Sorvanel\nInterval=60\n");
      SimHoldFileOpen(DefaultIni, access, share);
    });
    ExpectClean(got.run);
    EXPECT_EQ(got.run.exitCode, c.result);
    EXPECT_EQ(got.interval, c.interval);
    EXPECT_EQ(got.run.BoxTexts(), c.box);
  }
}

// Every platform call of the settings reader failed once.
TEST(Settings, EachFailedCallIsShownAndLeaksNothing) {
  const std::string file =
      "[Main]\nSignature=Sorvanel\nInterval=60\nPriority=high\nVolumes=C:\n";
  struct {
    const char* call;
    unsigned nth;
    DWORD error;
    int result;
    std::string interval, priority, templates, box;
  } cases[] = {
      {"CreateFileW", 1, ERROR_ACCESS_DENIED, 4, "30", "0", "",
       std::string("Cannot open \"") + DefaultIniUtf8 + "\" (5 - Access is denied)"},
      {"CreateFileW", 1, ERROR_FILE_NOT_FOUND, 4, "30", "0", "", ""},
      // A failed close changes nothing: the open only tested the file.
      {"CloseHandle", 1, ERROR_INVALID_HANDLE, 0, "60", "1", "C:", ""},
      {"GetPrivateProfileStringW", 1, ERROR_ACCESS_DENIED, 5, "30", "0", "",
       std::string("No signature in \"") + DefaultIniUtf8 + "\""},
      {"GetPrivateProfileIntW", 1, ERROR_ACCESS_DENIED, 0, "30", "1", "C:", ""},
      {"GetPrivateProfileStringW", 2, ERROR_ACCESS_DENIED, 0, "60", "0", "C:", ""},
      {"GetPrivateProfileStringW", 3, ERROR_ACCESS_DENIED, 0, "60", "1", "", ""},
      {"CompareStringW", 1, ERROR_INVALID_PARAMETER, 7, "30", "0", "",
       "Invalid module path: C:\\Program Files\\Sorvanel\\sorvanel.exe"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    Outcome got = Load(DefaultModule, [&c, file] {
      SimSetFile(DefaultIni, file);
      SimFailCall(c.call, c.nth, c.error);
    });
    ASSERT_TRUE(got.run.finished) << got.run.failure;
    EXPECT_EQ(got.run.exitCode, c.result);
    EXPECT_EQ(got.interval, c.interval);
    EXPECT_EQ(got.priority, c.priority);
    EXPECT_EQ(got.templates, c.templates);
    EXPECT_EQ(got.run.BoxTexts(), c.box);
    // The failed close leaves the sim's handle open; every other path closes it.
    EXPECT_EQ(got.run.openHandles, std::string(c.call) == "CloseHandle" ? 1 : 0);
  }
}

}  // namespace

namespace {

// The event that the service writes once it has read its settings, as "<type>/<id>: text".
std::string SettingsEvent(const std::u16string& module, std::function<void()> setup) {
  ChildScenario scenario;
  scenario.setup = [module, setup] {
    std::copy(module.begin(), module.end(), ModulePath);
    ModulePath[module.size()] = 0;
    if (setup) setup();
  };
  scenario.body = [] {
    LoadSettings();
    ReportSettingsInForce();
    EmptyTemplateList(&GlobalTemplateList);
    return 0;
  };
  ChildRun run = RunInChild(scenario);
  EXPECT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
  for (const SimEventRecord& event : run.events) EXPECT_EQ(event.source, u"Tamberlocke_Sorvanel");
  return run.EventTexts();
}

// What an administrator reads after editing the file: the values in force and where they
// came from, also when the file was missing or rejected.
TEST(Settings, TheSettingsInForceAreReportedWithTheirOrigin) {
  const std::string ini = DefaultIniUtf8;
  const std::string sig = "[Main]\nSignature=Sorvanel\n";
  const std::string defaults =
      "4/3: Settings in force\r\nInterval: 30 seconds\r\nPriority: normal\r\nVolumes: every "
      "eligible volume\r\nFrom: ";
  struct {
    const char* what;
    std::u16string module;
    std::function<void()> setup;
    std::string event;
  } rows[] = {
      {"a file that sets everything", DefaultModule,
       [sig] { SimSetFile(DefaultIni, sig + "Interval=60\nPriority=LOW\nVolumes=C: \"D:\\Mount Point\"\n"); },
       "4/3: Settings in force\r\nInterval: 60 seconds\r\nPriority: low\r\nVolumes: \"C:\" "
       "\"D:\\Mount Point\"\r\nFrom: " + ini},
      {"interval 0 and a rejected priority", DefaultModule,
       [sig] { SimSetFile(DefaultIni, sig + "Interval=0\nPriority=realtime\n"); },
       "4/3: Settings in force\r\nInterval: none, on request only\r\nPriority: normal\r\nVolumes: "
       "every eligible volume\r\nFrom: " + ini},
      {"a template error keeps the templates before it", DefaultModule,
       [sig] { SimSetFile(DefaultIni, sig + "Volumes=C: E: \"\" F:\n"); },
       "4/3: Settings in force\r\nInterval: 30 seconds\r\nPriority: normal\r\nVolumes: \"C:\" "
       "\"E:\"\r\nFrom: " + ini + " (Volumes up to the failed template)"},
      {"no file", DefaultModule, nullptr, defaults + "defaults; no file " + ini},
      {"no signature", DefaultModule, [] { SimSetFile(DefaultIni, "[Main]\nInterval=60\n"); },
       defaults + "defaults; file rejected: No signature in \"" + ini + "\""},
      {"a wrong signature", DefaultModule,
       [] { SimSetFile(DefaultIni, "[Main]\nSignature=Flusher\nInterval=60\n"); },
       defaults + "defaults; file rejected: Invalid signature \"Flusher\""},
      {"a file that cannot be opened", DefaultModule,
       [sig] {
         SimSetFile(DefaultIni, sig + "Interval=60\n");
         SimFailCall("CreateFileW", 1, ERROR_ACCESS_DENIED);
       },
       defaults + "defaults; file rejected: Cannot open \"" + ini + "\" (5 - Access is denied)"},
      {"a program not named .exe", u"C:\\Tools\\sorvanel.com", nullptr,
       defaults + "defaults; file rejected: Invalid module path: C:\\Tools\\sorvanel.com"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    // The errors of the settings come first, as events of their own.
    std::string events = SettingsEvent(row.module, row.setup);
    size_t last = events.rfind("\n--\n");
    EXPECT_EQ(last == std::string::npos ? events : events.substr(last + 4), row.event);
  }
}

}  // namespace
