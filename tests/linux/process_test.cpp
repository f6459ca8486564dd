// Process, module, version, messages, errors and debugging.
#include <errno.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "backend_test.h"
#include "platform/common/message_table.h"

namespace {

class Process : public BackendTest {};

std::u16string ExePath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  return n > 0 ? Wide(std::string(path, static_cast<size_t>(n)).c_str()) : std::u16string();
}

TEST_F(Process, ModuleFileNameIsTheExecutable) {
  const std::u16string expected = ExePath();
  ASSERT_FALSE(expected.empty());
  WCHAR buffer[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  ASSERT_EQ(expected.size(), length);
  EXPECT_EQ(expected, std::u16string(buffer));
  // The value of GetModuleHandleW(NULL) names the same module.
  EXPECT_EQ(length, GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH));
}

TEST_F(Process, ShortBufferGetsTheCutPath) {
  const std::u16string expected = ExePath();
  WCHAR buffer[8];
  for (WCHAR& unit : buffer) unit = u'#';
  SetLastError(0);
  EXPECT_EQ(5u, GetModuleFileNameW(nullptr, buffer, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(expected.substr(0, 4), std::u16string(buffer));
  EXPECT_EQ(u'#', buffer[5]);
  // Exactly the length: the terminator does not fit either.
  std::u16string exact(expected.size() + 1, u'#');
  EXPECT_EQ(expected.size(), GetModuleFileNameW(nullptr, &exact[0],
                                                static_cast<DWORD>(expected.size())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST_F(Process, NoLibraryIsLoaded) {
  EXPECT_NE(nullptr, GetModuleHandleW(nullptr));
  for (const char16_t* name : {u"wininet.dll", u"kernel32.dll", u""}) {
    SetLastError(0);
    EXPECT_EQ(nullptr, GetModuleHandleW(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  }
}

TEST_F(Process, VersionAndCounterPassTheStartupCheck) {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(10u, info.dwMajorVersion);
  EXPECT_EQ(0u, info.dwMinorVersion);
  info.dwOSVersionInfoSize = 12;
  SetLastError(0);
  EXPECT_FALSE(GetVersionExW(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(1000000000, frequency.QuadPart);
}

const DWORD OneLineFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;

TEST_F(Process, SystemMessagesComeFromTheCommonTable) {
  WCHAR buffer[256];
  DWORD n = FormatMessageW(OneLineFlags, nullptr, ERROR_ACCESS_DENIED, 0x400, buffer, 256, nullptr);
  EXPECT_EQ(std::u16string(u"Access is denied. "), std::u16string(buffer, n));
  n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     ERROR_ACCESS_DENIED, 0, buffer, 256, nullptr);
  EXPECT_EQ(std::u16string(u"Access is denied.\r\n"), std::u16string(buffer, n));

  SetLastError(0);
  EXPECT_EQ(0u, FormatMessageW(OneLineFlags, nullptr, 0xC0000005u, 0x400, buffer, 256, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());

  EXPECT_EQ(0u, FormatMessageW(OneLineFlags, nullptr, ERROR_ACCESS_DENIED, 0x400, buffer, 10,
                               nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  // A module's own table: the program has none.
  EXPECT_EQ(0u, FormatMessageW(0xAFF, GetModuleHandleW(nullptr), 12029, 0x400, buffer, 256,
                               nullptr));
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

// What a Windows user would see for the errno values that opening, flushing and writing can
// give; every code used has a text, so no message falls back to "no description".
TEST_F(Process, ErrnoBecomesTheWindowsCode) {
  struct ErrnoCase {
    int error;
    DWORD code;
  };
  const ErrnoCase cases[] = {
      {0, ERROR_SUCCESS},           {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED}, {EISDIR, ERROR_ACCESS_DENIED},
      {ENOENT, ERROR_FILE_NOT_FOUND}, {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EROFS, ERROR_WRITE_PROTECT}, {EBADF, ERROR_INVALID_HANDLE},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY}, {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, ERROR_TOO_MANY_OPEN_FILES}, {EBUSY, ERROR_SHARING_VIOLATION},
      {EEXIST, ERROR_ALREADY_EXISTS},{EINVAL, ERROR_INVALID_PARAMETER},
      {ENOSPC, ERROR_DISK_FULL},    {EDQUOT, ERROR_DISK_FULL},
      {EPIPE, ERROR_BROKEN_PIPE},   {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
      {EOPNOTSUPP, ERROR_NOT_SUPPORTED}, {ENAMETOOLONG, ERROR_INVALID_NAME},
      {ENODEV, ERROR_NOT_READY},    {ENXIO, ERROR_NOT_READY},
      {ENOMEDIUM, ERROR_NOT_READY}, {EIO, ERROR_IO_DEVICE},
      {EPROTO, ERROR_GEN_FAILURE},  {12345, ERROR_GEN_FAILURE},
  };
  for (const ErrnoCase& c : cases) {
    EXPECT_EQ(c.code, Win32ErrorFromErrno(c.error)) << "errno " << c.error;
    EXPECT_NE(nullptr, SystemMessageText(c.code)) << "no text for " << c.code;
    SetLastErrorFromErrno(c.error);
    EXPECT_EQ(c.code, GetLastError());
  }
}

void* ReadLastError(void* result) {
  *static_cast<DWORD*>(result) = GetLastError();
  return nullptr;
}

TEST_F(Process, LastErrorBelongsToTheThread) {
  SetLastError(1234);
  DWORD other = 99;
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, ReadLastError, &other));
  pthread_join(thread, nullptr);
  EXPECT_EQ(0u, other);
  EXPECT_EQ(1234u, GetLastError());
}

// In a child: IsDebuggerPresent is false, then true once the parent traces it.
TEST_F(Process, DebuggerIsSeenThroughTracerPid) {
  EXPECT_FALSE(IsDebuggerPresent());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(3);
    _exit(IsDebuggerPresent() ? 1 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "tracing is not allowed here";
  EXPECT_EQ(1, WEXITSTATUS(status));
}

TEST_F(Process, BreakpointStopsWithSigtrap) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGTRAP, SIG_DFL);
    DebugBreak();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGTRAP, WTERMSIG(status));
}

TEST_F(Process, ExitProcessEndsWithTheCode) {
  for (UINT code : {0u, 2u, 7u}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) ExitProcess(code);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(static_cast<int>(code), WEXITSTATUS(status));
  }
}

TEST_F(Process, HeapBlocks) {
  HANDLE heap = GetProcessHeap();
  ASSERT_NE(nullptr, heap);
  unsigned char* zeroed = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(nullptr, zeroed);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(0, zeroed[i]);
  EXPECT_TRUE(HeapFree(heap, 0, zeroed));
  void* empty = HeapAlloc(heap, 0, 0);
  EXPECT_NE(nullptr, empty);  // a zero-byte block is still a block
  EXPECT_TRUE(HeapFree(heap, 0, empty));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST_F(Process, TickCountFollowsTheMonotonicClock) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  DWORD expected = static_cast<DWORD>(now.tv_sec * 1000ULL + now.tv_nsec / 1000000);
  DWORD ticks = GetTickCount();
  EXPECT_LT(ticks - expected, 50u);
  Sleep(60);
  DWORD elapsed = GetTickCount() - ticks;
  EXPECT_GE(elapsed, 60u);
  EXPECT_LT(elapsed, 2000u);
}

}  // namespace
