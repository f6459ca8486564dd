#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "sim/sim.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

void ExpectNothingShown(const ChildRun& run) {
  EXPECT_TRUE(run.errConsole.empty());
  EXPECT_TRUE(run.outConsole.empty());
  EXPECT_TRUE(run.errBytes.empty());
  EXPECT_TRUE(run.boxes.empty());
}

void ExpectNoLeaks(const ChildRun& run) {
  EXPECT_EQ(run.liveHeapBlocks, 0);
  EXPECT_EQ(run.liveSids, 0);
  EXPECT_EQ(run.openHandles, 0) << run.openHandleList;
}

TEST(Startup, WithoutOutputHandlesTheProgramExitsSevenSilently) {
  const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (DWORD invalid : which) {
    ChildRun run = RunProgram(u"-h", [invalid] { SimSetStdHandle(invalid, SimStream::Invalid); });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 7);
    ExpectNothingShown(run);
    ExpectNoLeaks(run);
  }
}

TEST(Startup, RuntimeStartupFailuresExit999Silently) {
  const std::function<void()> setups[] = {
      [] { SimSetVersion(4, 0); },
      [] { SimSetPerformanceFrequency(0); },
      [] { SimFailCall("GetVersionExW", 1, ERROR_INVALID_PARAMETER); },
      [] { SimFailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY); },
  };
  for (const auto& setup : setups) {
    ChildRun run = RunProgram(u"-h", setup);
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 999);
    ExpectNothingShown(run);
    ExpectNoLeaks(run);
  }
}

TEST(Startup, ModulePathFailureExitsSeven) {
  ChildRun run = RunProgram(u"-h", [] { SimFailCall("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED); });
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.Err(), "Cannot get module path (5 - Access is denied)\r\n");
  EXPECT_TRUE(run.outConsole.empty());
  ExpectNoLeaks(run);
}

// The path buffer holds 259 characters and the terminator; a longer path would be cut.
TEST(Startup, AModulePathThatDoesNotFitIsAFailureNotACutPath) {
  const struct {
    size_t length;
    int exitCode;
    const char* err;
  } cases[] = {
      {258, 1, ""},
      {259, 1, ""},
      {260, 7, "Cannot get module path (122 - The data area passed to a system call is too small)\r\n"},
      {310, 7, "Cannot get module path (122 - The data area passed to a system call is too small)\r\n"},
  };
  for (const auto& c : cases) {
    std::u16string path = u"C:\\" + std::u16string(c.length - 9, u'd') + u"\\s.exe";
    ChildRun run = RunProgram(
        u"-h", [&path] { SimSetModulePath(path); },
        [](std::map<std::string, std::string>& extra) {
          extra["stored"] = SimUtf8(reinterpret_cast<const char16_t*>(ModulePath));
        });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, c.exitCode) << c.length;
    EXPECT_EQ(run.Err(), c.err) << c.length;
    EXPECT_EQ(run.extra["stored"], c.exitCode == 1 ? SimUtf8(path) : "") << c.length;
    ExpectNoLeaks(run);
  }
}

struct StepFaults {
  const char* name;
  std::function<void()> setup;
  int exitCode;
  std::string err;
};

// Start-up goes step by step: handles, code page, runtime, module path, logon check. When
// several would fail, the first decides, and the later ones are never reached.
TEST(Startup, TheFirstFailingStepDecides) {
  const StepFaults cases[] = {
      {"handles before runtime",
       [] {
         SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Invalid);
         SimSetVersion(4, 0);
       },
       7, ""},
      {"runtime before module path",
       [] {
         SimSetVersion(4, 0);
         SimFailCall("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
       },
       999, ""},
      {"module path before logon check",
       [] {
         SimFailCall("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
         SimFailCall("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
       },
       7, "Cannot get module path (5 - Access is denied)\r\n"},
      // The code page is switched on before the first message: bytes, not UTF-16.
      {"code page before module path",
       [] {
         SimSetStdHandle(STD_ERROR_HANDLE, SimStream::Redirected);
         SimFailCall("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
       },
       7, "Cannot get module path (5 - Access is denied)\r\n"},
  };
  for (const StepFaults& c : cases) {
    ChildRun run = RunProgram(u"-h", c.setup);
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.Err(), c.err);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(run.outConsole.empty());
    for (const std::string& call : run.callLog) EXPECT_NE(call, "OpenProcessToken");
    ExpectNoLeaks(run);
  }
}

struct LogonFault {
  const char* function;
  unsigned nth;
  DWORD error;
  const char* message;
};

// A failed logon check is reported and the command line is still interpreted.
TEST(Startup, LogonCheckFailuresAreShownAndTheCommandLineStillRuns) {
  const LogonFault faults[] = {
      {"OpenProcessToken", 1, ERROR_ACCESS_DENIED, "Cannot open process token (5 - Access is denied)"},
      {"GetTokenInformation", 1, ERROR_ACCESS_DENIED, "Cannot open token info size (5 - Access is denied)"},
      {"GetTokenInformation", 2, ERROR_INVALID_HANDLE, "Cannot get token info (6 - The handle is not valid)"},
      // The buffer for the groups: the allocation that follows the size query.
      {"HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY,
       "Cannot get token info (8 - There is not enough memory to process this command)"},
      {"AllocateAndInitializeSid", 1, ERROR_INVALID_SID, "Cannot init SID (1337 - The security ID structure is not valid)"},
  };
  for (const LogonFault& fault : faults) {
    ChildRun run = RunProgram(u"-h", [&] {
      if (fault.nth) {
        SimFailCall(fault.function, fault.nth, fault.error);
      } else {
        SimOnCall("GetTokenInformation", 1, [&] {
          SimFailCall(fault.function, SimCallCount(fault.function) + 1, fault.error);
        });
      }
    });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 1) << fault.function;
    EXPECT_EQ(run.Err(), std::string(fault.message) + "\r\n") << fault.function;
    EXPECT_FALSE(run.outConsole.empty()) << "the help must still be shown";
    ExpectNoLeaks(run);
  }
}

// The size query must fail with ERROR_INSUFFICIENT_BUFFER: one that succeeds, or fails with
// another error, is reported like any other failure of that step.
TEST(Startup, ASizeQueryThatSucceedsOrGivesAnotherErrorIsReported) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { SimSetTokenSizeQuerySucceeds(true); }, "0 - The operation finished without error"},
      {[] { SimFailCall("GetTokenInformation", 1, ERROR_INVALID_PARAMETER); }, "87 - A parameter is not valid"},
  };
  for (const auto& c : cases) {
    ChildRun run = RunProgram(u"-h", c.first);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.Err(), std::string("Cannot open token info size (") + c.second + ")\r\n");
    ExpectNoLeaks(run);
  }
}

struct ModeCase {
  bool interactive;
  SimStream out, err;
  const char* logonFault;  // a call of the logon check that fails, or none
  bool dispatched;
  int exitCode;
  const char* shown;  // ChildRun::ErrorsShown
};

// Service mode takes all four: a logon check that worked, no INTERACTIVE group, no output
// handle, no error handle. Every other process interprets its command line (here -h). A
// process without output handles whose logon check failed may be the service: its errors
// go to the event log, as the service's do.
TEST(Startup, ServiceModeNeedsAllFourConditions) {
  const ModeCase cases[] = {
      // Not started by the manager after all (1063): the command line is carried out.
      {false, SimStream::None, SimStream::None, nullptr, true, 1, ""},
      {false, SimStream::None, SimStream::None, "StartServiceCtrlDispatcherW", true, 7,
       "event: Cannot start service control dispatcher (5 - Access is denied)\n"},
      {true, SimStream::None, SimStream::None, nullptr, false, 1, ""},
      {false, SimStream::Console, SimStream::None, nullptr, false, 1, ""},
      {false, SimStream::Redirected, SimStream::None, nullptr, false, 1, ""},
      {false, SimStream::None, SimStream::Console, nullptr, false, 1, ""},
      {false, SimStream::None, SimStream::Redirected, nullptr, false, 1, ""},
      {false, SimStream::None, SimStream::None, "OpenProcessToken", false, 1,
       "event: Cannot open process token (5 - Access is denied)\n"},
      {false, SimStream::None, SimStream::None, "GetTokenInformation", false, 1,
       "event: Cannot open token info size (5 - Access is denied)\n"},
      {false, SimStream::None, SimStream::None, "AllocateAndInitializeSid", false, 1,
       "event: Cannot init SID (5 - Access is denied)\n"},
  };
  for (const ModeCase& c : cases) {
    ChildRun run = RunProgram(u"-h", [c] {
      SimSetInteractive(c.interactive);
      SimSetStdHandle(STD_OUTPUT_HANDLE, c.out);
      SimSetStdHandle(STD_ERROR_HANDLE, c.err);
      if (c.logonFault) SimFailCall(c.logonFault, 1, ERROR_ACCESS_DENIED);
    });
    SCOPED_TRACE(std::string(c.interactive ? "interactive" : "not interactive") + ", output " +
                 std::to_string(static_cast<int>(c.out)) + ", error " + std::to_string(static_cast<int>(c.err)) +
                 (c.logonFault ? std::string(", failing ") + c.logonFault : std::string()));
    ASSERT_TRUE(run.finished) << run.failure;
    bool dispatched = false;
    for (const std::string& call : run.callLog) dispatched |= call == "StartServiceCtrlDispatcherW";
    EXPECT_EQ(dispatched, c.dispatched);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.ErrorsShown(), c.shown);
    ExpectNoLeaks(run);
  }
}

struct LogonCase {
  bool interactive;
  const char* failing;
  bool checked;
  bool holdsInteractive;
};

// The out value starts as false, whatever the caller left in it, and says true only when
// the INTERACTIVE group was found.
TEST(Startup, TheLogonCheckAnswersForTheToken) {
  const LogonCase cases[] = {
      {true, nullptr, true, true},
      {false, nullptr, true, false},
      {true, "OpenProcessToken", false, false},
      {true, "GetTokenInformation", false, false},
      {true, "AllocateAndInitializeSid", false, false},
  };
  for (const LogonCase& c : cases) {
    ChildScenario scenario;
    scenario.setup = [c] {
      SimSetInteractive(c.interactive);
      if (c.failing) SimFailCall(c.failing, 1, ERROR_ACCESS_DENIED);
    };
    scenario.body = [] {
      bool interactive = true;
      bool checked = IsInteractiveLogon(&interactive);
      return (checked ? 1 : 0) + (interactive ? 2 : 0);
    };
    ChildRun run = RunInChild(scenario);
    SCOPED_TRACE(std::string(c.interactive ? "interactive" : "not interactive") +
                 (c.failing ? std::string(", failing ") + c.failing : std::string()));
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, (c.checked ? 1 : 0) + (c.holdsInteractive ? 2 : 0));
    ExpectNoLeaks(run);
  }
}

// A process in the service's conditions that the manager did not start carries out its
// command line; it may be in session 0, where from Windows 6.0 on nobody sees a box: its
// errors go to the event log, and only before 6.0 also to a box, after the event. A user's
// process without an error handle keeps its box on every version.
TEST(Startup, OutsideTheManagerErrorsGoToTheEventLog) {
  const char text[] = "Invalid option \"x\", use -? for help";
  struct {
    DWORD major, minor;
    bool interactive;
    std::string shown;
    std::string order;
  } cases[] = {
      {5, 0, false, "event: " + std::string(text) + "\nbox: " + text + "\n", "ReportEventW MessageBoxW "},
      {5, 2, false, "event: " + std::string(text) + "\nbox: " + text + "\n", "ReportEventW MessageBoxW "},
      {6, 0, false, "event: " + std::string(text) + "\n", "ReportEventW "},
      {10, 0, false, "event: " + std::string(text) + "\n", "ReportEventW "},
      {10, 0, true, "box: " + std::string(text) + "\n", "MessageBoxW "},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + (c.interactive ? " interactive" : ""));
    DWORD major = c.major, minor = c.minor;
    bool interactive = c.interactive;
    ChildRun run = RunProgram(u"-x", [major, minor, interactive] {
      SimSetVersion(major, minor);
      SimSetInteractive(interactive);
      SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::None);
      SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None);
    });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.ErrorsShown(), c.shown);
    std::string order;
    for (const std::string& call : run.callLog) {
      if (call == "ReportEventW" || call == "MessageBoxW") order += call + " ";
    }
    EXPECT_EQ(order, c.order);
    for (const SimEventRecord& event : run.events) {
      EXPECT_EQ(event.source, u"Tamberlocke_Sorvanel");
      EXPECT_EQ(event.id, 1u);
      EXPECT_EQ(event.strings.size(), 1u);
    }
    for (const SimMessageBox& box : run.boxes) {
      EXPECT_EQ(box.caption, u"Volume file buffers flusher service");
      EXPECT_EQ(box.type, 0x00200010u);
    }
    ExpectNoLeaks(run);
  }
}

// Critical-error boxes ("No disk") are off before anything else happens, once the entry has
// taken the command line.
TEST(Startup, CriticalErrorBoxesAreTurnedOffFirst) {
  ChildRun run = RunProgram(u"-h", nullptr, [](std::map<std::string, std::string>& extra) {
    extra["mode"] = std::to_string(SimErrorMode());
  });
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.extra["mode"], "1");
  ASSERT_GE(run.callLog.size(), 2u);
  EXPECT_EQ(run.callLog[0], "GetCommandLineW");
  EXPECT_EQ(run.callLog[1], "SetErrorMode");
}

}  // namespace
