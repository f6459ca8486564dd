// Thread handles and priorities, text comparison and conversion.
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "backend_test.h"

namespace {

class Threads : public BackendTest {};

int NiceOf(pid_t tid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

struct PriorityRun {
  HANDLE thread = nullptr;  // the worker's own handle, made by DuplicateHandle in the worker
  pid_t tid = 0;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  bool ready = false;
  bool done = false;
};

// The service's pattern: the worker takes a real handle to itself, another thread uses it.
void* Worker(void* argument) {
  PriorityRun* run = static_cast<PriorityRun*>(argument);
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  pthread_mutex_lock(&run->lock);
  run->thread = self;
  run->tid = static_cast<pid_t>(syscall(SYS_gettid));
  run->ready = true;
  pthread_cond_broadcast(&run->changed);
  while (!run->done) pthread_cond_wait(&run->changed, &run->lock);
  pthread_mutex_unlock(&run->lock);
  return nullptr;
}

TEST_F(Threads, PriorityOfAnotherThreadThroughItsHandle) {
  PriorityRun run;
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, Worker, &run));
  pthread_mutex_lock(&run.lock);
  while (!run.ready) pthread_cond_wait(&run.changed, &run.lock);
  pthread_mutex_unlock(&run.lock);
  ASSERT_NE(nullptr, run.thread);

  const int base = NiceOf(getpid());
  // Lowering is always allowed.
  EXPECT_TRUE(SetThreadPriority(run.thread, THREAD_PRIORITY_BELOW_NORMAL));
  EXPECT_EQ(base + 5 > 19 ? 19 : base + 5, NiceOf(run.tid));
  EXPECT_TRUE(SetThreadPriority(run.thread, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(19, NiceOf(run.tid));
  // Back to normal: reached with the right to raise, kept where it is without it.
  EXPECT_TRUE(SetThreadPriority(run.thread, THREAD_PRIORITY_NORMAL));
  int nice = NiceOf(run.tid);
  EXPECT_TRUE(nice == base || nice == 19) << nice;
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(run.thread, 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The main thread is untouched.
  EXPECT_EQ(base, NiceOf(getpid()));

  pthread_mutex_lock(&run.lock);
  run.done = true;
  pthread_cond_broadcast(&run.changed);
  pthread_mutex_unlock(&run.lock);
  pthread_join(thread, nullptr);
  EXPECT_TRUE(CloseHandle(run.thread));
}

TEST_F(Threads, PseudoHandles) {
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // closing a pseudo handle does nothing
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  HANDLE copy = nullptr;
  SetLastError(0);
  EXPECT_FALSE(DuplicateHandle(reinterpret_cast<HANDLE>(0x44), GetCurrentThread(),
                               GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Threads, CompareAndUpperCase) {
  struct CompareCase {
    const char16_t* a;
    const char16_t* b;
    DWORD flags;
    int result;
  };
  const CompareCase cases[] = {
      {u"-h", u"-H", NORM_IGNORECASE, CSTR_EQUAL},
      {u"-h", u"-H", 0, CSTR_GREATER_THAN},
      {u".EXE", u".exe", NORM_IGNORECASE, CSTR_EQUAL},
      {u"\u00FCber", u"\u00DCBER", NORM_IGNORECASE, CSTR_EQUAL},
      {u"-h", u"-h ", NORM_IGNORECASE, CSTR_LESS_THAN},
      {u"", u"", NORM_IGNORECASE, CSTR_EQUAL},
  };
  for (const CompareCase& c : cases) {
    EXPECT_EQ(c.result, CompareStringW(LOCALE_USER_DEFAULT, c.flags, c.a, -1, c.b, -1))
        << std::string(c.a, c.a + 1);
  }
  SetLastError(0);
  EXPECT_EQ(0, CompareStringW(LOCALE_USER_DEFAULT, 0x1000, u"a", -1, u"a", -1));
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());

  // One character in place of the pointer, as the wildcard matcher calls it.
  auto upper = [](char16_t ch) {
    return static_cast<char16_t>(reinterpret_cast<uintptr_t>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(ch)))));
  };
  EXPECT_EQ(u'C', upper(u'c'));
  EXPECT_EQ(u':', upper(u':'));
  EXPECT_EQ(u'\u00DC', upper(u'\u00FC'));
  EXPECT_EQ(u'\u0416', upper(u'\u0436'));
  char16_t text[] = u"d:\\data";
  EXPECT_EQ(text, CharUpperW(text));
  EXPECT_EQ(std::u16string(u"D:\\DATA"), std::u16string(text));
}

TEST_F(Threads, ConversionToCodePages) {
  char bytes[16];
  // -1 converts the terminator too.
  EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, u"ab", -1, bytes, sizeof bytes, nullptr, nullptr));
  EXPECT_EQ(0, bytes[2]);
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u00FC\u00FC", 2, bytes, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 0, bytes, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // UTF-8 takes no default character.
  BOOL used = FALSE;
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 3, "#", &used));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // A single-byte code page puts its default, or the caller's, for what it lacks.
  EXPECT_EQ(4, WideCharToMultiByte(437, 0, u"\u00FC\u4E2D?\U0001F600", 5, bytes, sizeof bytes,
                                   nullptr, nullptr));
  EXPECT_EQ(std::string("\x81??" "?"), std::string(bytes, 4));
  used = FALSE;
  EXPECT_EQ(4, WideCharToMultiByte(437, 0, u"\u00FC\u4E2D?\U0001F600", 5, bytes, sizeof bytes,
                                   "#", &used));
  EXPECT_EQ(std::string("\x81#?#"), std::string(bytes, 4));
  EXPECT_TRUE(used);
  // Code page 0 (ANSI) is UTF-8 here.
  EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, 0, u"\u00FC", 1, bytes, sizeof bytes, nullptr, nullptr));
}

}  // namespace
