#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "sim/sim.h"
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

TEST(Startup, AModulePathThatDoesNotFitIsAFailureNotACutPath) {
  ChildRun run = RunProgram(u"-h", [] { SimSetModulePath(u"C:\\" + std::u16string(300, u'd') + u"\\s.exe"); });
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.Err(), "Cannot get module path (122 - The data area passed to a system call is too small)\r\n");
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
      {"HeapAlloc", 3, ERROR_NOT_ENOUGH_MEMORY,
       "Cannot get token info (8 - There is not enough memory to process this command)"},
      {"AllocateAndInitializeSid", 1, ERROR_INVALID_SID, "Cannot init SID (1337 - The security ID structure is not valid)"},
  };
  for (const LogonFault& fault : faults) {
    ChildRun run = RunProgram(u"-h", [&] { SimFailCall(fault.function, fault.nth, fault.error); });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 1) << fault.function;
    EXPECT_EQ(run.Err(), std::string(fault.message) + "\r\n") << fault.function;
    EXPECT_FALSE(run.outConsole.empty()) << "the help must still be shown";
    ExpectNoLeaks(run);
  }
}

// A size query that unexpectedly succeeds is reported like any other failure of that step.
TEST(Startup, ASizeQueryWithAnotherErrorIsReported) {
  ChildRun run = RunProgram(u"-h", [] { SimFailCall("GetTokenInformation", 1, ERROR_INVALID_PARAMETER); });
  EXPECT_EQ(run.Err(), "Cannot open token info size (87 - A parameter is not valid)\r\n");
  ExpectNoLeaks(run);
}

TEST(Startup, InteractiveOrConsoleProcessesRunTheCommandLine) {
  struct Case {
    bool interactive;
    SimStream out, err;
  } cases[] = {
      {true, SimStream::None, SimStream::None},
      {false, SimStream::Console, SimStream::None},
      {false, SimStream::None, SimStream::Redirected},
  };
  for (const Case& c : cases) {
    ChildRun run = RunProgram(u"-h", [c] {
      SimSetInteractive(c.interactive);
      SimSetStdHandle(STD_OUTPUT_HANDLE, c.out);
      SimSetStdHandle(STD_ERROR_HANDLE, c.err);
    });
    EXPECT_EQ(run.exitCode, 1);
    bool dispatched = false;
    for (const std::string& call : run.callLog) dispatched |= call == "StartServiceCtrlDispatcherW";
    EXPECT_FALSE(dispatched);
    ExpectNoLeaks(run);
  }
}

TEST(Startup, ServiceConditionsOutsideTheManagerShowTheDispatcherErrorInABox) {
  ChildRun run = RunProgram(u"", [] {
    SimSetInteractive(false);
    SimSetStdHandle(STD_OUTPUT_HANDLE, SimStream::None);
    SimSetStdHandle(STD_ERROR_HANDLE, SimStream::None);
  });
  ASSERT_TRUE(run.finished) << run.failure;
  EXPECT_EQ(run.exitCode, 7);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(SimUtf8(run.boxes[0].text),
            "Cannot start service control dispatcher (1063 - The service process could not connect to "
            "the service controller)");
  EXPECT_EQ(run.boxes[0].caption, u"Volume file buffers flusher service");
  ExpectNoLeaks(run);
}

// Every call of a help run failed in turn: the program never crashes, never leaks, and ends
// with the help's code, or the code of the start-up step that failed.
TEST(Startup, EveryCallOfAHelpRunFailedInTurn) {
  ChildRun baseline = RunProgram(u"-h");
  ASSERT_TRUE(baseline.finished) << baseline.failure;
  std::map<std::string, unsigned> seen;
  std::set<std::pair<std::string, unsigned>> calls;
  for (const std::string& name : baseline.callLog) calls.insert({name, ++seen[name]});
  ASSERT_GT(calls.size(), 10u);
  for (const auto& call : calls) {
    ChildRun run = RunProgram(u"-h", [&] { SimFailCall(call.first.c_str(), call.second, ERROR_ACCESS_DENIED); });
    ASSERT_TRUE(run.finished) << call.first << " #" << call.second << ": " << run.failure;
    // A failed comparison makes "-h" an ordinary, invalid, option: 2.
    EXPECT_TRUE(run.exitCode == 1 || run.exitCode == 2 || run.exitCode == 7 || run.exitCode == 999)
        << call.first << " #" << call.second << " gave " << run.exitCode;
    SCOPED_TRACE(call.first + " #" + std::to_string(call.second));
    // A release that the system refuses leaves its object behind by the system's fault.
    bool releaseFailed = call.first == "HeapFree" || call.first == "CloseHandle" ||
                         (call.first == "GetProcessHeap" && run.liveHeapBlocks == 1);
    if (!releaseFailed) ExpectNoLeaks(run);
  }
}

}  // namespace
