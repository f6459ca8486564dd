#include <gtest/gtest.h>

#include <string>

#include "sim/sim.h"
#include "support/runtime.h"
#include "unit/child_run.h"
#include "volumes/templates.h"

namespace {

// Runtime state is process state: every scenario runs in a fresh child.
ChildRun RunScenario(std::function<void()> setup, std::function<int()> body,
                     std::function<void(std::map<std::string, std::string>&)> collect = nullptr) {
  ChildScenario scenario;
  scenario.setup = setup;
  scenario.body = body;
  scenario.collect = collect;
  return RunInChild(scenario);
}

std::string order;
void A() { order += "A"; }
void B() { order += "B"; }
void C() { order += "C"; }

TEST(Runtime, StartupAcceptsVersionFiveAndLater) {
  struct Case {
    DWORD major, minor;
    int started;
  } cases[] = {{4, 0, 0}, {4, 90, 0}, {5, 0, 1}, {5, 1, 1}, {6, 1, 1}, {10, 0, 1}, {0x105, 0, 1}};
  for (const Case& c : cases) {
    ChildRun run = RunScenario([&] { SimSetVersion(c.major, c.minor); },
                               [] { return RuntimeStartup() ? 1 : 0; });
    ASSERT_TRUE(run.finished) << run.failure;
    // Only the low eight bits of the major version count: 0x105 reads as 5.
    EXPECT_EQ(run.exitCode, c.started) << c.major << "." << c.minor;
  }
}

TEST(Runtime, StartupFailsOnZeroCounterFrequencyOrFailedVersionCall) {
  ChildRun zero = RunScenario([] { SimSetPerformanceFrequency(0); }, [] { return RuntimeStartup() ? 1 : 0; });
  EXPECT_EQ(zero.exitCode, 0);
  ChildRun version = RunScenario([] { SimFailCall("GetVersionExW", 1, ERROR_INVALID_PARAMETER); },
                                 [] { return RuntimeStartup() ? 1 : 0; });
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.liveHeapBlocks, 0);
}

TEST(Runtime, FailedListAllocationLeavesRuntimeUnstartedAndRetriesLater) {
  ChildRun run = RunScenario([] { SimFailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY); },
                             [] {
                               bool first = RuntimeStartup();
                               bool started = RuntimeIsStarted();
                               bool second = RuntimeStartup();
                               RuntimeShutdown();
                               return (first ? 1 : 0) + (started ? 2 : 0) + (second ? 4 : 0);
                             });
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(Runtime, SecondStartupChangesNothing) {
  ChildRun run = RunScenario(nullptr, [] {
    bool first = RuntimeStartup();
    const LinkedList* list = RuntimeAtExitList();
    unsigned versionCalls = SimCallCount("GetVersionExW");
    bool second = RuntimeStartup();
    bool same = list == RuntimeAtExitList() && SimCallCount("GetVersionExW") == versionCalls;
    RuntimeShutdown();
    return first && second && same ? 0 : 1;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(Runtime, CallbacksRunInReverseOrderOfRegistration) {
  ChildRun run = RunScenario(nullptr,
                             [] {
                               RuntimeStartup();
                               RegisterAtExit(A);
                               RegisterAtExit(B);
                               RegisterAtExit(C);
                               RuntimeShutdown();
                               return RuntimeAtExitList() == nullptr && RuntimeIsStarted() ? 0 : 1;
                             },
                             [](std::map<std::string, std::string>& extra) { extra["order"] = order; });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.extra["order"], "CBA");
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(Runtime, ShutdownAfterFailedStartupOrTwiceDoesNothing) {
  ChildRun run = RunScenario([] { SimSetVersion(4, 0); },
                             [] {
                               RuntimeStartup();
                               RuntimeShutdown();
                               RuntimeShutdown();
                               return static_cast<int>(SimCallCount("HeapFree"));
                             });
  EXPECT_EQ(run.exitCode, 0);
  ChildRun twice = RunScenario(nullptr, [] {
    RuntimeStartup();
    RuntimeShutdown();
    unsigned frees = SimCallCount("HeapFree");
    RuntimeShutdown();
    return SimCallCount("HeapFree") == frees ? 0 : 1;
  });
  EXPECT_EQ(twice.exitCode, 0);
  EXPECT_EQ(twice.liveHeapBlocks, 0);
}

TEST(Runtime, RegistrationWithoutPossibleStartupTrapsAndFails) {
  ChildRun run = RunScenario([] { SimSetVersion(4, 0); }, [] { return RegisterAtExit(A) ? 1 : 0; });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.breakpoints, 1);
}

TEST(Runtime, RegistrationStartsAnUnstartedRuntime) {
  ChildRun run = RunScenario(nullptr, [] {
    bool registered = RegisterAtExit(A);
    bool started = RuntimeIsStarted();
    RuntimeShutdown();
    return registered && started ? 0 : 1;
  }, [](std::map<std::string, std::string>& extra) { extra["order"] = order; });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.extra["order"], "A");
  EXPECT_EQ(run.breakpoints, 0);
}

TEST(Runtime, RegistrationFailsWhenEntryCannotBeAllocated) {
  ChildRun run = RunScenario([] { SimFailCall("HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY); }, [] {
    RuntimeStartup();
    bool registered = RegisterAtExit(A);
    LONG count = NodeCount(RuntimeAtExitList());
    RuntimeShutdown();
    return registered ? 100 : count;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(Runtime, StaticInitialisersRunOnceAndSetUpTheGlobalList) {
  ChildRun run = RunScenario(nullptr, [] {
    RuntimeStartup();
    GlobalTemplateList.count = 99;  // garbage the initialiser must clear
    RunStaticInitialisers();
    bool empty = GlobalTemplateList.head == nullptr && GlobalTemplateList.count == 0;
    LONG callbacks = NodeCount(RuntimeAtExitList());
    GlobalTemplateList.count = 42;
    RunStaticInitialisers();  // a second run traps and does nothing
    bool untouched = GlobalTemplateList.count == 42;
    RuntimeShutdown();
    return (empty ? 1 : 0) + (callbacks == 1 ? 2 : 0) + (untouched ? 4 : 0);
  });
  EXPECT_EQ(run.exitCode, 7);
  EXPECT_EQ(run.breakpoints, 1);
  EXPECT_EQ(run.liveHeapBlocks, 0);
}

TEST(Runtime, AllocationFailureReturnsNullAfterOneAttempt) {
  SimReset();
  SimFailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(AllocateMemory(16), nullptr);
  EXPECT_EQ(SimCallCount("HeapAlloc"), 1u);
  void* block = AllocateMemory(16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(SimLiveHeapBlocks(), 1);
  FreeMemory(block, 16);
  EXPECT_EQ(SimLiveHeapBlocks(), 0);
  FreeMemory(nullptr, 16);
  EXPECT_EQ(SimCallCount("HeapFree"), 1u);
}

}  // namespace
