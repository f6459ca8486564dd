// Events: reset modes, timeouts, wake-up from another thread, names within the process.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "backend_test.h"

namespace {

class Events : public BackendTest {};

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

const char16_t FlushEventName[] = u"Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3";

TEST_F(Events, NoProcessCreatedTheServiceEvent) {
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, FlushEventName));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(Events, AutoResetReleasesOneWaitAndResets) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(SetEvent(event));  // two signals before a wait are one
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, ManualResetStaysSignalled) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 10));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, TimeoutWaitsAboutAsLongAsAsked) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  long long start = NowMs();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 120));
  long long waited = NowMs() - start;
  EXPECT_GE(waited, 120);
  EXPECT_LT(waited, 2000);
  EXPECT_TRUE(CloseHandle(event));
}

void* SignalLater(void* event) {
  usleep(100 * 1000);
  SetEvent(event);
  return nullptr;
}

TEST_F(Events, SignalFromAnotherThreadWakesTheWait) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, SignalLater, event));
  long long start = NowMs();
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 10000));
  EXPECT_LT(NowMs() - start, 5000);
  pthread_join(thread, nullptr);
  thread = pthread_t();
  ASSERT_EQ(0, pthread_create(&thread, nullptr, SignalLater, event));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, INFINITE));
  pthread_join(thread, nullptr);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, NamesAreKnownWithinTheProcessWhileAHandleLives) {
  HANDLE created = CreateEventW(nullptr, FALSE, FALSE, FlushEventName);
  ASSERT_NE(nullptr, created);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());

  HANDLE again = CreateEventW(nullptr, TRUE, TRUE, FlushEventName);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  // The second creation's reset mode and initial state do not apply: still auto-reset, clear.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(created, 0));

  HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, FlushEventName);
  ASSERT_NE(nullptr, opened);
  ASSERT_TRUE(SetEvent(opened));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(created, 0));

  // Names are compared exactly.
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                u"global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3"));

  EXPECT_TRUE(CloseHandle(created));
  EXPECT_TRUE(CloseHandle(again));
  // One handle is left: the event and its name live on.
  ASSERT_TRUE(SetEvent(opened));
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, FlushEventName));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(Events, DuplicateRefersToTheSameEvent) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_NE(event, copy);
  EXPECT_TRUE(CloseHandle(event));
  ASSERT_TRUE(SetEvent(copy));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(copy, 0));
  EXPECT_TRUE(CloseHandle(copy));
}

TEST_F(Events, ClosedHandleIsRefused) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  ASSERT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(static_cast<DWORD>(WAIT_FAILED), WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // A handle of another kind is no event.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_FALSE(SetEvent(token));
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(Events, OverlongNameIsRefused) {
  std::u16string name(MAX_PATH, u'n');
  EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

}  // namespace
