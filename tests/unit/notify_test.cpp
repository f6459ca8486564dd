#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/sim.h"
#include "sim/sim_events.h"
#include "sim/sim_service.h"
#include "service/event_security.h"
#include "startup/program.h"
#include "unit/child_run.h"

namespace {

// The running service's event, made as the service's own process would make it.
void ServiceRunning() {
  CreateEventW(nullptr, FALSE, FALSE, FlushRequestEventName);
}

bool Called(const ChildRun& run, const char* function) {
  return std::find(run.callLog.begin(), run.callLog.end(), function) != run.callLog.end();
}

struct NotifyCase {
  const char16_t* arguments;
  bool serviceRunning;
  const char* failFunction;
  DWORD error;
  int exitCode;
  const char* err;
  const char* out;
};

TEST(Notify, TheClientSignalsTheServiceOrSaysWhyNot) {
  const NotifyCase cases[] = {
      {u"-f", false, nullptr, 0, 6, "The service is not running\r\n", ""},
      {u"-v -f", false, nullptr, 0, 6, "The service is not running\r\n", ""},
      {u"-f", true, nullptr, 0, 0, "", ""},
      {u"-f -v", true, nullptr, 0, 0, "", "The service is notified\r\n"},
      {u"-f", true, "OpenEventW", ERROR_ACCESS_DENIED, 7, "Cannot open flush event (5 - Access is denied)\r\n", ""},
      {u"-v -f", true, "SetEvent", ERROR_INVALID_HANDLE, 7,
       "Cannot set flush event (6 - The handle is not valid)\r\n", ""},
  };
  for (const NotifyCase& c : cases) {
    ChildRun run = RunProgram(
        c.arguments,
        [&] {
          if (c.serviceRunning) ServiceRunning();
          if (c.failFunction) SimFailCall(c.failFunction, 1, c.error);
        },
        [](std::map<std::string, std::string>& extra) {
          extra["signalled"] = SimEvent(reinterpret_cast<const char16_t*>(FlushRequestEventName)).signalled ? "1" : "0";
        });
    SCOPED_TRACE(SimUtf8(c.arguments) + (c.failFunction ? std::string(" failing ") + c.failFunction : ""));
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.Err(), c.err);
    EXPECT_EQ(run.Out(), c.out);
    EXPECT_EQ(run.extra["signalled"], c.exitCode == 0 ? "1" : "0");
    EXPECT_EQ(run.liveHeapBlocks, 0);
    // The service's own handle, and the client's after a successful open: both stay open
    // until the process ends.
    int expectedHandles = (c.serviceRunning ? 1 : 0) + (c.serviceRunning && c.exitCode != 7 ? 1 : 0) +
                          (c.failFunction && std::string(c.failFunction) == "SetEvent" ? 1 : 0);
    EXPECT_EQ(run.openHandles, expectedHandles) << run.openHandleList;
  }
}

// The service's event lets everyone signal it and nothing more: the client asks for no
// more than that, so any user may ask for a flush.
TEST(Notify, AnyUserMaySignalTheServicesEvent) {
  for (bool administrator : {false, true}) {
    ChildRun run = RunProgram(
        u"-v -f",
        [administrator] {
          static FlushEventSecurity security;
          ASSERT_TRUE(BuildFlushEventSecurity(&security));
          ASSERT_NE(CreateEventW(&security.attributes, FALSE, FALSE, FlushRequestEventName), nullptr);
          SimSetCallerIsAdministrator(administrator);
        },
        [](std::map<std::string, std::string>& extra) {
          extra["signalled"] = SimEvent(reinterpret_cast<const char16_t*>(FlushRequestEventName)).signalled ? "1" : "0";
        });
    SCOPED_TRACE(administrator ? "administrator" : "user");
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.Err(), "");
    EXPECT_EQ(run.Out(), "The service is notified\r\n");
    EXPECT_EQ(run.extra["signalled"], "1");
  }
}

TEST(Notify, OnlyTheFirstActionIsCarriedOut) {
  struct Case {
    const char16_t* arguments;
    const char* expected;
    const char* notExpected;
  } cases[] = {
      {u"-f -i", "CreateServiceW", "OpenEventW"},
      {u"-r -f", "DeleteService", "OpenEventW"},
      {u"-r -i", "CreateServiceW", "DeleteService"},
      {u"-f -r", "OpenServiceW", "OpenEventW"},
  };
  for (const Case& c : cases) {
    ChildRun run = RunProgram(c.arguments, [] { SimAddService(u"Tamberlocke_Sorvanel", u"C:\\x.exe", SERVICE_STOPPED); });
    ASSERT_TRUE(run.finished) << run.failure;
    EXPECT_TRUE(Called(run, c.expected)) << SimUtf8(c.arguments);
    EXPECT_FALSE(Called(run, c.notExpected)) << SimUtf8(c.arguments);
  }
}

}  // namespace
