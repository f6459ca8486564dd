// The service's life, run as the service control manager would start it: the whole program
// in a fresh process, the dispatcher running ServiceMain on a second thread, controls arriving
// on the main thread at points the test chooses (most often the start of the k-th cycle).
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_events.h"
#include "sim/sim_profile.h"
#include "sim/sim_security.h"
#include "sim/sim_service.h"
#include "service/service_runtime.h"
#include "sim/sim_time.h"
#include "sim/sim_volumes.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

const char EventDescription[] = "event Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3";

struct ServiceRun {
  ChildRun run;
  std::string reports;     // "state type accepted exit specific checkpoint hint thread;" each
  std::string states;      // "2 4 3 1" and the like
  int flushes = -1;        // flush passes (each enumerates the volumes once)
  int sleeps = -1;         // loop cycles begun
  std::string priorities;  // "caller>target=priority;" each
  std::string registrations;
  std::string extra;       // what a scenario's own check wrote down
};

std::string Text(const std::u16string& text) { return SimUtf8(text); }

void StopAt(const char* call, unsigned nth);
void StopAtCycle(unsigned cycle);

ServiceRun RunService(const std::string& settings, std::function<void()> setup,
                      std::function<std::string()> check = nullptr) {
  ServiceRun result;
  result.run = RunServiceProgram(
      settings,
      [setup] {
        if (setup) setup();
        // A scenario whose own stop never comes would loop for ever; this one ends it, with
        // counts that no row expects.
        StopAtCycle(1000);
      },
      [check](std::map<std::string, std::string>& extra) {
        std::ostringstream reports, states;
        for (const SimStatusReport& r : SimStatusReports()) {
          const SERVICE_STATUS& s = r.status;
          reports << s.dwCurrentState << " " << std::hex << s.dwServiceType << std::dec << " "
                  << s.dwControlsAccepted << " " << s.dwWin32ExitCode << " "
                  << s.dwServiceSpecificExitCode << " " << s.dwCheckPoint << " " << s.dwWaitHint
                  << " " << r.thread << ";";
          states << (states.tellp() > 0 ? " " : "") << s.dwCurrentState;
        }
        extra["reports"] = reports.str();
        extra["states"] = states.str();
        extra["flushes"] = std::to_string(SimCallCount("FindFirstVolumeW"));
        extra["sleeps"] = std::to_string(SimCallCount("Sleep") + SimCallCount("WaitForSingleObject"));
        std::string priorities;
        for (const SimPriorityChange& c : SimPriorityChanges()) {
          priorities += c.caller + ">" + c.target + "=" + std::to_string(c.priority) + ";";
        }
        extra["priorities"] = priorities;
        std::string registrations;
        for (const SimHandlerRegistration& r : SimHandlerRegistrations()) {
          registrations += Text(r.name) + "@" + r.thread + ";";
        }
        extra["registrations"] = registrations;
        extra["table"] = Text(SimDispatchTableName());
        if (check) extra["check"] = check();
      });
  std::map<std::string, std::string>& extra = result.run.extra;
  result.reports = extra["reports"];
  result.states = extra["states"];
  result.flushes = extra["flushes"].empty() ? -1 : std::stoi(extra["flushes"]);
  result.sleeps = extra["sleeps"].empty() ? -1 : std::stoi(extra["sleeps"]);
  result.priorities = extra["priorities"];
  result.registrations = extra["registrations"];
  result.extra = extra["check"];
  return result;
}

void ExpectFinishedCleanly(const ServiceRun& s, bool eventOpen) {
  ASSERT_TRUE(s.run.finished) << s.run.failure;
  EXPECT_TRUE(s.run.exitedThroughExitProcess);
  EXPECT_EQ(s.run.exitCode, 0);
  EXPECT_EQ(s.run.liveHeapBlocks, 0);
  EXPECT_EQ(s.run.liveSids, 0);
  // The event stays open until the process ends; nothing else may.
  EXPECT_EQ(s.run.openHandleList, eventOpen ? EventDescription : "none");
}

void StopAt(const char* call, unsigned nth) {
  SimOnCall(call, nth, [] { SimSendControl(SERVICE_CONTROL_STOP); });
}

void StopAtCycle(unsigned cycle) {
  AtServiceCycle(cycle, [] { SimSendControl(SERVICE_CONTROL_STOP); });
}

void Signal() { SimSignalEvent(u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3"); }

void SignalAt(unsigned cycle, int times = 1) {
  AtServiceCycle(cycle, [times] {
    for (int i = 0; i < times; ++i) Signal();
  });
}

void ControlAt(unsigned cycle, DWORD control, int times = 1) {
  AtServiceCycle(cycle, [control, times] {
    for (int i = 0; i < times; ++i) SimSendControl(control);
  });
}

TEST(ServiceRuntime, EveryReportCarriesTheSameFieldsInAllFourStates) {
  ServiceRun s = RunService("", [] { StopAtCycle(2); });
  ExpectFinishedCleanly(s, true);
  EXPECT_EQ(s.reports,
            "2 110 5 0 0 0 1000 service;"
            "4 110 5 0 0 0 1000 service;"
            "3 110 5 0 0 0 1000 main;"
            "1 110 5 0 0 0 1000 service;");
  EXPECT_EQ(s.registrations, "Tamberlocke_Sorvanel@service;");
  EXPECT_EQ(s.run.extra["table"], "");
  EXPECT_EQ(s.run.ErrorEventTexts(), "");
  // The system has run for longer than the interval, so the first cycle flushes.
  EXPECT_EQ(s.flushes, 1);
  EXPECT_EQ(s.sleeps, 2);
}

struct TimingRow {
  const char* what;
  std::string settings;
  DWORD startTick;
  std::function<void()> script;
  int flushes;
  int sleeps;
  std::string states = "2 4 3 1";
};

TEST(ServiceRuntime, FlushesFallDueOnTheIntervalAndOnRequest) {
  const DWORD running = 1000000;  // ticks since start: longer than any interval
  const TimingRow rows[] = {
      {"interval 0, no request", SettingsText("Interval=0\r\n"), running, [] { StopAtCycle(10); },
       0, 10},
      {"interval 0 flushes on request only", SettingsText("Interval=0\r\n"), running,
       [] {
         SignalAt(3);
         StopAtCycle(6);
       },
       1, 6},
      {"two signals in one cycle give one flush", SettingsText("Interval=0\r\n"), running,
       [] {
         SignalAt(2, 2);
         StopAtCycle(4);
       },
       1, 4},
      {"signals in two cycles give two", SettingsText("Interval=0\r\n"), running,
       [] {
         SignalAt(2);
         SignalAt(3);
         StopAtCycle(5);
       },
       2, 5},
      {"stop before the loop: no flush", SettingsText("Interval=5\r\n"), running,
       [] { StopAt("GetPrivateProfileIntW", 1); }, 0, 0},
      // ... and one while the service is starting (the event being made) is not overwritten
      // by RUNNING.
      {"stop while starting: no RUNNING", "", running, [] { StopAt("CreateEventW", 1); }, 0, 0, "2 3 1"},
      {"stop in the sleep of a due cycle: that flush, then stopped", SettingsText("Interval=5\r\n"),
       running, [] { StopAtCycle(27); }, 2, 27},
      {"stop one cycle earlier: not yet due", SettingsText("Interval=5\r\n"), running,
       [] { StopAtCycle(26); }, 1, 26},
      {"a request restarts the interval", SettingsText("Interval=5\r\n"), running,
       [] {
         SignalAt(10);
         StopAtCycle(35);
       },
       2, 35},
      {"... and the next periodic flush follows it", SettingsText("Interval=5\r\n"), running,
       [] {
         SignalAt(10);
         StopAtCycle(36);
       },
       3, 36},
      {"the interval runs from the end of a flush", SettingsText("Interval=5\r\n"), running,
       [] {
         SimOnCall("FindFirstVolumeW", 1, [] { SimSetTickCount(SimTickCount() + 3000); });
         StopAtCycle(26);
       },
       1, 26},
      {"... and falls due 5 s after that end", SettingsText("Interval=5\r\n"), running,
       [] {
         SimOnCall("FindFirstVolumeW", 1, [] { SimSetTickCount(SimTickCount() + 3000); });
         StopAtCycle(27);
       },
       2, 27},
      {"across the tick wrap, not yet due", SettingsText("Interval=5\r\n"), 0xFFFFFFFFu - 3000,
       [] { StopAtCycle(26); }, 1, 26},
      {"across the tick wrap, due", SettingsText("Interval=5\r\n"), 0xFFFFFFFFu - 3000,
       [] { StopAtCycle(27); }, 2, 27},
      {"a fresh system waits for the tick to pass the interval", "", 0,
       [] { StopAtCycle(150); }, 0, 150},
      {"... and flushes in the first cycle after", "", 0, [] { StopAtCycle(151); }, 1, 151},
      {"a request in a due cycle is that cycle's one flush", SettingsText("Interval=5\r\n"), running,
       [] {
         SignalAt(1);
         StopAtCycle(2);
       },
       1, 2},
      {"stop during a flush lets it finish", SettingsText("Interval=5\r\n"), running,
       [] { StopAt("FindFirstVolumeW", 1); }, 1, 1},
      {"shutdown stops as stop does", "", running,
       [] { AtServiceCycle(3, [] { SimSendControl(SERVICE_CONTROL_SHUTDOWN); }); }, 1, 3},
      // The flush-request control counts as a signal of the event.
      {"control 128 asks for one flush", SettingsText("Interval=0\r\n"), running,
       [] {
         ControlAt(3, FLUSH_REQUEST_CONTROL);
         StopAtCycle(6);
       },
       1, 6},
      {"128 twice in one cycle gives one flush", SettingsText("Interval=0\r\n"), running,
       [] {
         ControlAt(2, FLUSH_REQUEST_CONTROL, 2);
         StopAtCycle(4);
       },
       1, 4},
      {"128 and a signal in one cycle give one flush", SettingsText("Interval=0\r\n"), running,
       [] {
         AtServiceCycle(2, [] {
           Signal();
           SimSendControl(FLUSH_REQUEST_CONTROL);
         });
         StopAtCycle(4);
       },
       1, 4},
      {"129 asks for nothing", SettingsText("Interval=0\r\n"), running,
       [] {
         ControlAt(3, FLUSH_REQUEST_CONTROL + 1);
         StopAtCycle(6);
       },
       0, 6},
      {"128 while the settings are read: flushed in the first cycle", SettingsText("Interval=0\r\n"),
       running,
       [] {
         SimOnCall("GetPrivateProfileIntW", 1, [] { SimSendControl(FLUSH_REQUEST_CONTROL); });
         StopAtCycle(2);
       },
       1, 2},
      // A signal releases the waiting thread at once: a user who resets the event right after
      // it (everyone may) cannot take the request away.
      {"a reset right after a signal still gets its pass", SettingsText("Interval=0\r\n"), running,
       [] {
         AtServiceCycle(3, [] {
           SimWhileWaiting([] {
             Signal();
             SimResetEvent(u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3");
           });
         });
         StopAtCycle(5);
       },
       1, 5},
  };
  for (const TimingRow& row : rows) {
    SCOPED_TRACE(row.what);
    DWORD start = row.startTick;
    std::function<void()> script = row.script;
    ServiceRun s = RunService(row.settings, [start, script] {
      SimSetTickCount(start);
      script();
    });
    ExpectFinishedCleanly(s, true);
    EXPECT_EQ(s.states, row.states);
    EXPECT_EQ(s.flushes, row.flushes);
    EXPECT_EQ(s.sleeps, row.sleeps);
    EXPECT_EQ(s.run.ErrorEventTexts(), "");
  }
}

TEST(ServiceRuntime, StoppedIsReportedOnlyAfterTheFlushInProgress) {
  ServiceRun s = RunService(SettingsText("Interval=5\r\n"), [] { StopAt("FindFirstVolumeW", 1); });
  ExpectFinishedCleanly(s, true);
  const std::vector<std::string>& log = s.run.callLog;
  auto position = [&log](const char* name, int nth) {
    int seen = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i] == name && ++seen == nth) return static_cast<int>(i);
    }
    return -1;
  };
  int stopPending = position("SetServiceStatus", 3);
  int stopped = position("SetServiceStatus", 4);
  int flushStart = position("FindFirstVolumeW", 1);
  ASSERT_GE(flushStart, 0);
  EXPECT_LT(flushStart, stopPending);
  // The tick read that ends the flush comes after the stop was asked for, before STOPPED.
  int lastTickRead = -1;
  for (int i = stopPending; i < stopped; ++i) {
    if (log[static_cast<size_t>(i)] == "GetTickCount") lastTickRead = i;
  }
  EXPECT_GT(lastTickRead, stopPending);
}

std::string stopFlagSeen;
int notifyResult = -1;

// The steps of a whole life, in order: registration, START_PENDING, the thread handle, the
// event (before RUNNING, so that whoever waits for RUNNING finds it), RUNNING, the settings,
// the program's path, the priority, then the cycles (a wait on the event, tick count, flush
// with its volume open, tick count). The stop arrives as the second cycle begins: the handler
// reports STOP_PENDING and resets the priority before it sets the flag, and the loop ends that
// cycle before STOPPED.
TEST(ServiceRuntime, TheStepsOfItsLifeComeInOrder) {
  ServiceRun s = RunService(
      SettingsText("Interval=5\r\nPriority=low\r\n"),
      [] {
        stopFlagSeen.clear();
        StopAtCycle(2);
        auto note = [](const char* where) {
          return [where] {
            stopFlagSeen += std::string(where) + "=" +
                            (__atomic_load_n(&ServiceRuntime.stopRequested, __ATOMIC_SEQ_CST) ? "1;" : "0;");
          };
        };
        SimOnCall("SetServiceStatus", 3, note("stop pending"));
        SimOnCall("SetThreadPriority", 2, note("priority reset"));
        SimOnCall("WaitForSingleObject", 2, note("second wait"));
      },
      [] { return stopFlagSeen; });
  ExpectFinishedCleanly(s, true);
  std::string steps;
  for (const std::string& call : s.run.callLog) {
    for (const char* step :
         {"RegisterServiceCtrlHandlerW", "SetServiceStatus", "DuplicateHandle", "CreateFileW",
          "GetPrivateProfileStringW", "GetPrivateProfileIntW", "GetFileSecurityW", "CreateEventW",
          "SetThreadPriority", "Sleep", "WaitForSingleObject", "GetTickCount", "FindFirstVolumeW"}) {
      if (call == step) steps += call + " ";
    }
  }
  // The file, its folder, Program Files and C:\ are read.
  EXPECT_EQ(steps,
            "RegisterServiceCtrlHandlerW SetServiceStatus DuplicateHandle CreateEventW SetServiceStatus "
            "CreateFileW GetPrivateProfileStringW GetPrivateProfileIntW GetPrivateProfileStringW "
            "GetPrivateProfileStringW GetFileSecurityW GetFileSecurityW GetFileSecurityW GetFileSecurityW "
            "SetThreadPriority WaitForSingleObject GetTickCount FindFirstVolumeW CreateFileW GetTickCount "
            "SetServiceStatus SetThreadPriority WaitForSingleObject GetTickCount "
            "SetServiceStatus ");
  EXPECT_EQ(s.extra, "stop pending=0;priority reset=0;second wait=1;");
  EXPECT_EQ(s.states, "2 4 3 1");
}

// Everyone may signal the event, but not wait on it: a waiter would take the signal of the
// auto-reset event before the service sees it.
TEST(ServiceRuntime, TheFlushEventLetsEveryoneSignalButOnlyAdministratorsChangeIt) {
  ServiceRun s = RunService("", [] { StopAtCycle(2); }, [] {
    SimEventInfo info = SimEvent(u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3");
    std::ostringstream out;
    out << info.exists << info.manualReset << info.securityGiven << info.daclPresent
        << info.nullDacl << "|";
    for (const SimAce& ace : info.dacl) out << ace.type << " " << std::hex << ace.mask << std::dec << " " << ace.sid << ";";
    out << "|";
    HANDLE signal = OpenEventW(EVENT_MODIFY_STATE, FALSE, FlushRequestEventName);
    out << (signal != nullptr);
    HANDLE takeOver = OpenEventW(0x00040000 /* WRITE_DAC */, FALSE, FlushRequestEventName);
    out << (takeOver != nullptr) << GetLastError();
    SimSetCallerIsAdministrator(true);
    HANDLE admin = OpenEventW(0x00040000, FALSE, FlushRequestEventName);
    out << (admin != nullptr);
    return out.str();
  });
  ExpectFinishedCleanly(s, true);
  EXPECT_EQ(s.extra,
            "10110|"
            "0 2 S-1-1-0;0 1f0003 S-1-5-18;0 1f0003 S-1-5-32-544;|"
            "1051");
}

// An event of that name that somebody made while the service was stopped is not used, with
// whatever DACL it grants the service what CreateEventW asks: the service reports it, goes on
// without an event (control 128 still flushes) and makes its own in the first cycle after
// the other one is gone; -f then reaches it. One that the Administrators own (no user can make
// such an event) is used. A name in another case is another event.
TEST(ServiceRuntime, AnEventSomebodyElseMadeIsNotUsed) {
  const std::u16string name = u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3";
  const std::string exists = "Cannot create flush event (183 - The file already exists)";
  const std::vector<SimAce> ours = {{ACCESS_ALLOWED_ACE_TYPE, EVENT_MODIFY_STATE, "S-1-1-0"},
                                    {ACCESS_ALLOWED_ACE_TYPE, EVENT_ALL_ACCESS, "S-1-5-18"}};
  struct {
    const char* what;
    std::u16string name;
    bool nullDacl;
    std::vector<SimAce> dacl;
    std::string owner;
    unsigned squatEnds;  // the cycle in which the other process lets go (0: never)
    const char* failure;  // a call that fails once
    std::string error;
    int flushes;
  } cases[] = {
      {"null DACL", name, true, {}, "S-1-5-21-111-222-333-1001", 0, nullptr, exists, 1},
      {"everyone all access", name, false, {{ACCESS_ALLOWED_ACE_TYPE, EVENT_ALL_ACCESS, "S-1-1-0"}},
       "S-1-5-21-111-222-333-1001", 0, nullptr, exists, 1},
      {"everyone signal and wait", name, false,
       {{ACCESS_ALLOWED_ACE_TYPE, EVENT_MODIFY_STATE | SYNCHRONIZE, "S-1-1-0"}},
       "S-1-5-21-111-222-333-1001", 0, nullptr, "Cannot create flush event (5 - Access is denied)", 1},
      {"until the squatter lets go", name, true, {}, "S-1-5-21-111-222-333-1001", 3, nullptr, exists, 2},
      {"the Administrators' own", name, false, ours, "S-1-5-32-544", 0, nullptr, "", 2},
      // Its owner is read again in the next cycle.
      {"SYSTEM's own, owner unread once", name, false, ours, "S-1-5-18", 0, "GetKernelObjectSecurity", exists, 2},
      {"another case", u"global\\sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3", true, {},
       "S-1-5-21-111-222-333-1001", 0, nullptr, "", 2},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string squatted = c.name;
    bool nullDacl = c.nullDacl;
    std::vector<SimAce> dacl = c.dacl;
    std::string owner = c.owner;
    unsigned squatEnds = c.squatEnds;
    const char* failure = c.failure;
    ServiceRun s = RunService(SettingsText("Interval=0\r\n"), [=] {
      SimCreateForeignEvent(squatted, nullDacl, dacl, owner);
      if (failure) SimFailCall(failure, 1, ERROR_ACCESS_DENIED);
      ControlAt(2, FLUSH_REQUEST_CONTROL);
      if (squatEnds) AtServiceCycle(squatEnds, [squatted] { SimCloseForeignEvent(squatted); });
      AtServiceCycle(6, [] { notifyResult = NotifyService(false); });
      StopAtCycle(8);
    });
    // The client's handle stays open, and the service's, when it has an event that -f reaches
    // (a second flush).
    ASSERT_TRUE(s.run.finished) << s.run.failure;
    EXPECT_EQ(s.run.liveHeapBlocks, 0);
    EXPECT_EQ(s.run.openHandleList,
              (c.flushes == 2 ? std::string(EventDescription) + ", " : "") + EventDescription);
    EXPECT_EQ(s.run.ErrorEventTexts(), c.error);
    EXPECT_EQ(s.flushes, c.flushes);
  }
}

TEST(ServiceRuntime, TheCommandLineClientTriggersAFlush) {
  // The client of -f, as another process on the machine would run it.
  ServiceRun s = RunService(
      SettingsText("Interval=0\r\n"),
      [] {
        AtServiceCycle(3, [] { notifyResult = NotifyService(false); });
        StopAtCycle(5);
      },
      [] { return std::to_string(notifyResult); });
  // The client's own handle stays open as well as the service's.
  ASSERT_TRUE(s.run.finished) << s.run.failure;
  EXPECT_EQ(s.run.openHandleList, std::string(EventDescription) + ", " + EventDescription);
  EXPECT_EQ(s.extra, "0");
  EXPECT_EQ(s.flushes, 1);
}

TEST(ServiceRuntime, TheFlushThreadRunsAtTheConfiguredPriorityUntilStopped) {
  struct {
    std::string settings;
    std::string changes;
  } cases[] = {
      {"", "service>service=0;main>service=0;"},
      {SettingsText("Priority=low\r\n"), "service>service=-1;main>service=0;"},
      {SettingsText("Priority=highest\r\n"), "service>service=2;main>service=0;"},
  };
  for (auto& c : cases) {
    ServiceRun s = RunService(c.settings, [] { StopAtCycle(2); });
    ExpectFinishedCleanly(s, true);
    EXPECT_EQ(s.priorities, c.changes);
  }
}

// None of them, the flush request (128) included, changes the accepted controls.
TEST(ServiceRuntime, InterrogateReportsAndOtherControlsAreIgnored) {
  struct {
    DWORD control;
    const char* states;
  } cases[] = {
      {SERVICE_CONTROL_INTERROGATE, "2 4 4 3 1"},
      {SERVICE_CONTROL_PAUSE, "2 4 3 1"},
      {SERVICE_CONTROL_CONTINUE, "2 4 3 1"},
      {FLUSH_REQUEST_CONTROL, "2 4 3 1"},
      {129, "2 4 3 1"},
      {255, "2 4 3 1"},
  };
  for (auto& c : cases) {
    DWORD control = c.control;
    ServiceRun s = RunService("", [control] {
      AtServiceCycle(2, [control] { SimSendControl(control); });
      StopAtCycle(3);
    });
    ExpectFinishedCleanly(s, true);
    EXPECT_EQ(s.states, c.states) << control;
    EXPECT_TRUE(std::regex_match(s.reports, std::regex("([1-4] 110 5 0 0 0 1000 [a-z]+;)+")))
        << s.reports;
    EXPECT_EQ(s.sleeps, 3);
  }
}

std::string shutdownDelivered;

// The position of log[index] as "the n-th call of its function".
unsigned NthCall(const std::vector<std::string>& log, size_t index) {
  unsigned n = 0;
  for (size_t i = 0; i <= index; ++i) n += log[i] == log[index];
  return n;
}

// A SHUTDOWN after the STOP changes nothing: no second STOP_PENDING (perhaps after STOPPED),
// no second priority reset, no use of the thread handle after it is closed (which would
// fail, and show a box). The STOP comes at every call of the first cycle, which flushes; the
// SHUTDOWN at every later call of the service thread, up to the STOPPED report.
TEST(ServiceRuntime, AStopTypeControlAfterTheStopChangesNothing) {
  const std::vector<std::string> life = RunService("", [] { StopAtCycle(2); }).run.callLog;
  // The first cycle's calls: from its wait up to the handler's STOP_PENDING, which the stop
  // at the start of the second cycle brings.
  const auto cycleStart = std::find(life.begin(), life.end(), "WaitForSingleObject");
  const auto cycleEnd = std::find(cycleStart + 1, life.end(), "SetServiceStatus");
  ASSERT_NE(cycleEnd, life.end());
  int delivered = 0;
  for (size_t stop = static_cast<size_t>(cycleStart - life.begin());
       stop < static_cast<size_t>(cycleEnd - life.begin()); ++stop) {
    const std::string stopCall = life[stop];
    const unsigned stopNth = NthCall(life, stop);
    const std::vector<std::string> stopped =
        RunService("", [stopCall, stopNth] { StopAt(stopCall.c_str(), stopNth); }).run.callLog;
    const size_t stoppedReport = static_cast<size_t>(
        std::find(stopped.rbegin(), stopped.rend(), "SetServiceStatus").base() - stopped.begin() - 1);
    for (size_t shutdown = stop + 1; shutdown <= stoppedReport; ++shutdown) {
      const std::string call = stopped[shutdown];
      const unsigned nth = NthCall(stopped, shutdown);
      SCOPED_TRACE("STOP at " + stopCall + " #" + std::to_string(stopNth) + ", SHUTDOWN at " +
                   call + " #" + std::to_string(nth));
      ServiceRun s = RunService(
          "",
          [stopCall, stopNth, call, nth] {
            shutdownDelivered.clear();
            StopAt(stopCall.c_str(), stopNth);
            // The handler's own calls run on the main thread, which cannot send to itself.
            SimOnCall(call.c_str(), nth, [] {
              if (SimThreadRole() != "service") return;
              shutdownDelivered = SimSendControl(SERVICE_CONTROL_SHUTDOWN) ? "1" : "0";
            });
          },
          [] { return shutdownDelivered; });
      if (s.extra.empty()) continue;
      ++delivered;
      EXPECT_EQ(s.extra, "1");
      ExpectFinishedCleanly(s, true);
      EXPECT_EQ(s.states, "2 4 3 1");
      EXPECT_EQ(s.priorities, "service>service=0;main>service=0;");
      EXPECT_EQ(s.flushes, 1);
      EXPECT_EQ(s.run.ErrorEventTexts(), "");
    }
  }
  EXPECT_GT(delivered, 40);
}

struct FailureRow {
  const char* call;
  unsigned nth;
  DWORD error;
  std::string settings;
  std::string box;
  std::string states;
  bool eventOpen;
  int flushes;
  std::string priorities;
};

// Every platform call of the service's life failed once. Apart from the handler
// registration nothing ends the service.
TEST(ServiceRuntime, EachFailedCallIsShownAndTheServiceGoesOn) {
  const std::string noEvent = "Cannot create flush event (";
  const FailureRow rows[] = {
      {"RegisterServiceCtrlHandlerW", 1, ERROR_INVALID_PARAMETER, "",
       "Cannot register service handler (87 - A parameter is not valid)", "", false, 0, ""},
      {"SetServiceStatus", 1, ERROR_INVALID_HANDLE, "",
       "Cannot set service status (6 - The handle is not valid)", "4 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"SetServiceStatus", 2, ERROR_INVALID_HANDLE, "",
       "Cannot set service status (6 - The handle is not valid)", "2 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"SetServiceStatus", 3, ERROR_INVALID_HANDLE, "",
       "Cannot set service status (6 - The handle is not valid)", "2 4 1", true, 1,
       "service>service=0;main>service=0;"},
      {"SetServiceStatus", 4, ERROR_INVALID_HANDLE, "",
       "Cannot set service status (6 - The handle is not valid)", "2 4 3", true, 1,
       "service>service=0;main>service=0;"},
      {"DuplicateHandle", 1, ERROR_NOT_ENOUGH_MEMORY, SettingsText("Priority=low\r\n"),
       "Cannot get service thread handle (8 - There is not enough memory to process this command)",
       "2 4 3 1", true, 1, "service>service=-1;"},
      // The event is made again in the first cycle.
      {"CreateEventW", 1, ERROR_ACCESS_DENIED, "", noEvent + "5 - Access is denied)", "2 4 3 1",
       true, 1, "service>service=0;main>service=0;"},
      {"InitializeAcl", 1, ERROR_INVALID_PARAMETER, "", noEvent + "87 - A parameter is not valid)",
       "2 4 3 1", true, 1, "service>service=0;main>service=0;"},
      {"AddAccessAllowedAce", 1, ERROR_INVALID_SID, "",
       noEvent + "1337 - The security ID structure is not valid)", "2 4 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"AddAccessAllowedAce", 3, ERROR_INVALID_SID, "",
       noEvent + "1337 - The security ID structure is not valid)", "2 4 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"InitializeSecurityDescriptor", 1, ERROR_INVALID_PARAMETER, "",
       noEvent + "87 - A parameter is not valid)", "2 4 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"SetSecurityDescriptorDacl", 1, ERROR_INVALID_PARAMETER, "",
       noEvent + "87 - A parameter is not valid)", "2 4 3 1", true, 1,
       "service>service=0;main>service=0;"},
      {"GetFileAttributesW", 1, ERROR_ACCESS_DENIED, "",
       "Cannot read security of C:\\Program Files\\Sorvanel\\sorvanel.exe (5 - Access is denied)",
       "2 4 3 1", true, 1, "service>service=0;main>service=0;"},
      {"GetFileSecurityW", 2, ERROR_ACCESS_DENIED, "",
       "Cannot read security of C:\\Program Files\\Sorvanel\\ (5 - Access is denied)", "2 4 3 1",
       true, 1, "service>service=0;main>service=0;"},
      {"SetThreadPriority", 1, ERROR_ACCESS_DENIED, SettingsText("Priority=low\r\n"),
       "Cannot set thread priority -1 (5 - Access is denied)", "2 4 3 1", true, 1,
       "main>service=0;"},
      {"SetThreadPriority", 2, ERROR_INVALID_HANDLE, SettingsText("Priority=low\r\n"),
       "Cannot reset thread priority (6 - The handle is not valid)", "2 4 3 1", true, 1,
       "service>service=-1;"},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(std::string(row.call) + " #" + std::to_string(row.nth));
    const char* call = row.call;
    unsigned nth = row.nth;
    DWORD error = row.error;
    ServiceRun s = RunService(row.settings, [call, nth, error] {
      SimFailCall(call, nth, error);
      StopAtCycle(2);
    });
    ExpectFinishedCleanly(s, row.eventOpen);
    EXPECT_EQ(s.run.ErrorEventTexts(), row.box);
    EXPECT_EQ(s.states, row.states);
    EXPECT_EQ(s.flushes, row.flushes);
    EXPECT_EQ(s.priorities, row.priorities);
  }
}

TEST(ServiceRuntime, AFailedWaitCountsAsNoRequest) {
  ServiceRun s = RunService(SettingsText("Interval=0\r\n"), [] {
    SignalAt(1);
    SimFailCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
    StopAtCycle(3);
  });
  ExpectFinishedCleanly(s, true);
  EXPECT_EQ(s.run.ErrorEventTexts(), "");
  // The signal missed by the failed wait of cycle 1 is seen in cycle 2.
  EXPECT_EQ(s.flushes, 1);
}

TEST(ServiceRuntime, WithoutTheEventTheServiceStillFlushesOnItsInterval) {
  ServiceRun s = RunService(SettingsText("Interval=5\r\n"), [] {
    for (unsigned attempt = 1; attempt <= 30; ++attempt) SimFailCall("CreateEventW", attempt, ERROR_ACCESS_DENIED);
    StopAtCycle(27);
  }, [] {
    return std::to_string(SimEvent(u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3").exists) +
           std::to_string(NotifyService(false));
  });
  ExpectFinishedCleanly(s, false);
  EXPECT_EQ(s.flushes, 2);
  // A client then finds no event: "The service is not running", 6.
  EXPECT_EQ(s.extra, "06");
}

// Installed in a folder that every user may add files to: one warning at the start that says
// so, and the service flushes as usual.
TEST(ServiceRuntime, AProgramThatOthersCanReplaceIsWarnedAboutAndStillFlushes) {
  ServiceRun s = RunService("", [] {
    SimSetFileSecurity(u"C:\\Program Files\\Sorvanel\\", {"", true, false, {{ACCESS_ALLOWED_ACE_TYPE, 0x1301BF, "S-1-5-11"}}});
    SignalAt(2);
    StopAtCycle(3);
  });
  ExpectFinishedCleanly(s, true);
  EXPECT_EQ(s.flushes, 2);
  EXPECT_EQ(s.run.ErrorEventTexts(), "");
  std::string warnings;
  for (const SimEventRecord& event : s.run.events) {
    if (event.type == EVENTLOG_WARNING_TYPE) warnings += std::to_string(event.id) + " " + SimUtf8(event.strings[0]) + ";";
  }
  EXPECT_EQ(warnings,
            "1 Authenticated Users may add files to C:\\Program Files\\Sorvanel\\\r\nInstall from a "
            "folder that an administrator made under Program Files, such as C:\\Program Files\\Sorvanel;");
}

// A write-protected stick beside C:, where the program lies: every flush pass fails to open it.
void WriteProtectedStick() {
  SimVolume stick = SimMakeVolume(1, {u"E:\\"}, DRIVE_REMOVABLE);
  stick.openError = ERROR_WRITE_PROTECT;
  SimSetVolumes({stick, SimMakeVolume(2, {u"C:\\"})});
}

const char StickError[] = "Cannot open \\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\ (19 - ";

// An error in the settings and one in every flush pass. From Windows 6.0 on a box would
// never be dismissed (the simulation ends the run if one is shown): the errors are events,
// the loop goes on, a later request still flushes, and a stop that comes with a request is
// answered as soon as that flush is done. Before 6.0 each error is logged and then shown in a
// box, and the thread waits for the box (a minute here): the stop waits too.
TEST(ServiceRuntime, ErrorsGoToTheEventLogAndABoxOnlyBeforeWindows6) {
  struct {
    DWORD major, minor;
    std::string shown;
    DWORD minStop, maxStop;
  } cases[] = {
      {10, 0,
       "event: Flush interval must be within 5..1000. Defaulting to 30\nevent: " + std::string(StickError),
       0, 0},
      {5, 1,
       "event: Flush interval must be within 5..1000. Defaulting to 30\nevent: " + std::string(StickError) +
           "\nbox: Flush interval must be within 5..1000. Defaulting to 30\nbox: " + StickError + "\nbox: " +
           StickError + "\nbox: " + StickError,
       60000, 60000},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    DWORD major = c.major, minor = c.minor;
    ServiceRun s = RunService(SettingsText("Interval=4\r\n"), [major, minor] {
      SimSetVersion(major, minor);
      SimSetBoxDismissMilliseconds(60000);
      WriteProtectedStick();
      // Cycle 1 flushes on the interval (the machine has run for longer than 30 s), cycle 3
      // on request, and in cycle 5 a request and the stop come together.
      SignalAt(3);
      AtServiceCycle(5, [] {
        Signal();
        SimSendControl(SERVICE_CONTROL_STOP);
      });
    }, [] {
      DWORD pending = 0, stopped = 0;
      for (const SimStatusReport& r : SimStatusReports()) {
        if (r.status.dwCurrentState == SERVICE_STOP_PENDING) pending = r.tick;
        if (r.status.dwCurrentState == SERVICE_STOPPED) stopped = r.tick;
      }
      return std::to_string(stopped - pending);
    });
    ExpectFinishedCleanly(s, true);
    EXPECT_EQ(s.states, "2 4 3 1");
    EXPECT_EQ(s.flushes, 3);
    // Each text up to its error code; the rest is the system's wording.
    std::string shown;
    std::stringstream lines(s.run.ErrorsShown());
    for (std::string line; std::getline(lines, line);) {
      shown += (shown.empty() ? "" : "\n") + line.substr(0, line.find("(19 - ") == std::string::npos ? line.size() : line.find("(19 - ") + 6);
    }
    EXPECT_EQ(shown, c.shown);
    // Before 6.0, each error is logged before its box is shown.
    std::string order;
    for (const std::string& call : s.run.callLog) {
      if (call == "ReportEventW" || call == "MessageBoxW") order += call == "ReportEventW" ? "E" : "B";
    }
    // The settings' error, the settings event, the first pass's error; the later passes' error
    // is held back from the log.
    EXPECT_EQ(order, c.major < 6 ? "EBEEBBB" : "EEE");
    DWORD stop = static_cast<DWORD>(std::stoul(s.extra));
    EXPECT_GE(stop, c.minStop);
    EXPECT_LE(stop, c.maxStop);
  }
}

// A volume that fails on every pass, for three hours of passes 15 minutes apart: the error
// is logged once an hour, and the event that logs it again says how many repeats were held
// back. The hour is up at exactly 60 minutes.
TEST(ServiceRuntime, ARepeatedErrorIsLoggedOnceAnHour) {
  ServiceRun s = RunService(SettingsText("Interval=5\r\n"), [] {
    WriteProtectedStick();
    for (unsigned cycle = 2; cycle <= 13; ++cycle) {
      // With the cycle's own 200 ms, the passes are exactly 15 minutes apart.
      AtServiceCycle(cycle, [] { SimSetTickCount(SimTickCount() + 15 * 60 * 1000 - 200); });
    }
    StopAtCycle(14);
  });
  ExpectFinishedCleanly(s, true);
  EXPECT_EQ(s.flushes, 13);
  std::vector<std::string> logged;
  DWORD first = 0;
  for (const SimEventRecord& event : s.run.events) {
    if (event.type != EVENTLOG_ERROR_TYPE) continue;
    if (logged.empty()) first = event.tick;
    std::string entry = std::to_string(event.id) + "@" + std::to_string((event.tick - first) / 60000);
    if (event.strings.size() > 1) entry += "+" + SimUtf8(event.strings[1]);
    logged.push_back(entry);
    EXPECT_EQ(SimUtf8(event.strings[0]).rfind(StickError, 0), 0u);
  }
  EXPECT_EQ(logged, (std::vector<std::string>{"1@0", "2@60+3", "2@120+3", "2@180+3"}));
}

}  // namespace
