#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  } cases[] = {{4, 0, 0},     {4, 90, 0},    {4, 255, 0},   {5, 0, 1},     {5, 1, 1},
               {6, 1, 1},     {10, 0, 1},    {0x105, 0, 1}, {0x104, 0, 0}, {0x4FF, 0, 1},
               {4, 0x100, 0}, {4, 0x1FF, 0}, {0, 0x500, 0}};
  for (const Case& c : cases) {
    ChildRun run = RunScenario([&] { SimSetVersion(c.major, c.minor); },
                               [] { return RuntimeStartup() ? 1 : 0; });
    ASSERT_TRUE(run.finished) << run.failure;
    // Only the low eight bits of each part count: 0x105 reads as 5, 0x104 as 4, and a minor
    // version of 0x100 adds nothing to 4.
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

TEST(Runtime, AFailedFrequencyCallCountsAsAZeroFrequency) {
  ChildRun run = RunScenario([] { SimFailCall("QueryPerformanceFrequency", 1, ERROR_NOT_SUPPORTED); },
                             [] { return RuntimeStartup() ? 1 : 0; });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.liveHeapBlocks, 0);
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

// Each callback runs after its entry left the list and before the entry is released.
std::string seen;
void Record() {
  seen += std::to_string(NodeCount(RuntimeAtExitList())) + "/" + std::to_string(SimLiveHeapBlocks()) + " ";
}

TEST(Runtime, EachEntryIsTakenOffTheListRunAndThenReleased) {
  ChildRun run = RunScenario(nullptr,
                             [] {
                               RuntimeStartup();
                               for (int i = 0; i < 3; ++i) RegisterAtExit(Record);
                               RuntimeShutdown();
                               return 0;
                             },
                             [](std::map<std::string, std::string>& extra) { extra["seen"] = seen; });
  // The list record and three entries: the running entry is still held.
  EXPECT_EQ(run.extra["seen"], "2/4 1/3 0/2 ");
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
  // After shutdown the list is gone: a registration then fails cleanly and allocates nothing.
  ChildRun twice = RunScenario(nullptr, [] {
    RuntimeStartup();
    RuntimeShutdown();
    unsigned frees = SimCallCount("HeapFree");
    RuntimeShutdown();
    bool registered = RegisterAtExit(A);
    return (SimCallCount("HeapFree") == frees ? 0 : 1) + (registered ? 2 : 0);
  });
  ASSERT_TRUE(twice.finished) << twice.failure;
  EXPECT_EQ(twice.exitCode, 0);
  EXPECT_EQ(twice.liveHeapBlocks, 0);
  EXPECT_EQ(twice.breakpoints, 0);
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

// A handler for failed allocations is not installed in this program, but AllocateMemory
// asks one that is, and tries again for as long as it says so.
std::vector<int> handlerAnswers;
std::vector<SIZE_T> handlerSizes;
int AnswerFromTable(SIZE_T size) {
  handlerSizes.push_back(size);
  if (handlerAnswers.empty()) return 0;
  int answer = handlerAnswers.front();
  handlerAnswers.erase(handlerAnswers.begin());
  return answer;
}

TEST(Runtime, AllocationAsksTheHandlerAndTriesAgainWhileItSaysSo) {
  struct Case {
    unsigned failures;          // allocation attempts that fail, from the first
    std::vector<int> answers;   // the handler's answers, in order
    bool allocated;
    unsigned attempts;
    size_t handlerCalls;
  } cases[] = {
      {0, {}, true, 1, 0},
      {1, {0}, false, 1, 1},
      {1, {1}, true, 2, 1},
      {2, {1, 7}, true, 3, 2},
      {3, {1, 1, 0}, false, 3, 3},
  };
  for (const Case& c : cases) {
    SimReset();
    for (unsigned i = 1; i <= c.failures; ++i) SimFailCall("HeapAlloc", i, ERROR_NOT_ENOUGH_MEMORY);
    handlerAnswers = c.answers;
    handlerSizes.clear();
    OutOfMemoryHandler = AnswerFromTable;
    void* block = AllocateMemory(24);
    OutOfMemoryHandler = nullptr;
    SCOPED_TRACE(std::to_string(c.failures) + " failures");
    EXPECT_EQ(block != nullptr, c.allocated);
    EXPECT_EQ(SimCallCount("HeapAlloc"), c.attempts);
    EXPECT_EQ(handlerSizes, std::vector<SIZE_T>(c.handlerCalls, 24));
    FreeMemory(block, 24);
    EXPECT_EQ(SimLiveHeapBlocks(), 0);
  }
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
