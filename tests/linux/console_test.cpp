// Standard handles, consoles and redirected writes.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "backend_test.h"

namespace {

class Console : public BackendTest {};

TEST_F(Console, ClosedDescriptorIsNoHandle) {
  int saved = dup(0);
  close(0);
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(nullptr, handle);
  EXPECT_NE(nullptr, GetStdHandle(STD_INPUT_HANDLE));
  EXPECT_EQ(INVALID_HANDLE_VALUE, GetStdHandle(static_cast<DWORD>(-13)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Console, StartupInfoCarriesNoHandles) {
  STARTUPINFOW info;
  memset(&info, 0xAB, sizeof info);
  GetStartupInfoW(&info);
  EXPECT_EQ(sizeof info, info.cb);
  EXPECT_EQ(0u, info.dwFlags & STARTF_USESTDHANDLES);
}

TEST_F(Console, TerminalIsConsoleAndTakesUtf8) {
  Terminal terminal = OpenTerminal();
  if (terminal.master < 0) GTEST_SKIP() << "no pseudo-terminal available";
  {
    StandardInputSwap swap(terminal.slave);
    HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(handle, &mode));
    // ASCII, a Latin letter, a CJK character and a surrogate pair.
    const std::u16string text = u"Flushing C:\\ \u00FC\u4E2D\U0001F600\r\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr));
    EXPECT_EQ(text.size(), written);
  }
  EXPECT_EQ("Flushing C:\\ \xC3\xBC\xE4\xB8\xAD\xF0\x9F\x98\x80\r\n",
            ReadAvailable(terminal.master, 200));
  CloseTerminal(&terminal);
}

// What reaches the screen: one CR LF per line end, whichever way the terminal is set.
TEST_F(Console, LineEndsSuitTheTerminal) {
  for (bool raw : {true, false}) {
    Terminal terminal = OpenTerminal(raw);
    if (terminal.master < 0) GTEST_SKIP() << "no pseudo-terminal available";
    const std::u16string text = u"one\r\ntwo\nthree\rfour\r\n";
    {
      StandardInputSwap swap(terminal.slave);
      DWORD written = 0;
      ASSERT_TRUE(WriteConsoleW(GetStdHandle(STD_INPUT_HANDLE), text.data(),
                                static_cast<DWORD>(text.size()), &written, nullptr));
      EXPECT_EQ(text.size(), written);
    }
    EXPECT_EQ(raw ? "one\r\ntwo\nthree\rfour\r\n" : "one\r\ntwo\r\nthree\rfour\r\n",
              ReadAvailable(terminal.master, 200))
        << (raw ? "raw" : "cooked");
    CloseTerminal(&terminal);
  }
}

// The text is converted in pieces of 256 units; a surrogate pair across a piece boundary
// stays whole. A prefix of 0 to 3 letters puts a pair on each position around the boundary.
TEST_F(Console, LongTextKeepsPairsWhole) {
  Terminal terminal = OpenTerminal();
  if (terminal.master < 0) GTEST_SKIP() << "no pseudo-terminal available";
  for (int prefix = 0; prefix < 4; ++prefix) {
    std::u16string text(static_cast<size_t>(prefix), u'x');
    std::string expected(static_cast<size_t>(prefix), 'x');
    for (int i = 0; i < 700; ++i) {
      if (i % 3 == 0) {
        text += u"\U0001F600";
        expected += "\xF0\x9F\x98\x80";
      } else {
        text += static_cast<char16_t>(u'a' + i % 26);
        expected += static_cast<char>('a' + i % 26);
      }
    }
    {
      StandardInputSwap swap(terminal.slave);
      DWORD written = 0;
      ASSERT_TRUE(WriteConsoleW(GetStdHandle(STD_INPUT_HANDLE), text.data(),
                                static_cast<DWORD>(text.size()), &written, nullptr));
      EXPECT_EQ(text.size(), written);
    }
    EXPECT_EQ(expected, ReadAvailable(terminal.master, 200)) << "prefix " << prefix;
  }
  CloseTerminal(&terminal);
}

TEST_F(Console, PipeIsNoConsole) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  {
    StandardInputSwap swap(ends[1]);
    HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    SetLastError(0);
    EXPECT_FALSE(GetConsoleMode(handle, &mode));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    DWORD written = 7;
    EXPECT_FALSE(WriteConsoleW(handle, u"x", 1, &written, nullptr));
    EXPECT_EQ(0u, written);
    // The same handle takes bytes through WriteFile, unchanged.
    const char bytes[] = "Invalid option \"x\"\r\n";
    ASSERT_TRUE(WriteFile(handle, bytes, sizeof bytes - 1, &written, nullptr));
    EXPECT_EQ(sizeof bytes - 1, written);
  }
  close(ends[1]);
  EXPECT_EQ("Invalid option \"x\"\r\n", ReadAvailable(ends[0], 200));
  close(ends[0]);
}

TEST_F(Console, OutputCodePageIsUtf8) {
  EXPECT_EQ(static_cast<UINT>(CP_UTF8), GetConsoleOutputCP());
  const std::u16string line = u"\u00FC\r\n";
  int needed = WideCharToMultiByte(GetConsoleOutputCP(), 0, line.data(),
                                   static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(4, needed);
  char bytes[4];
  ASSERT_EQ(4, WideCharToMultiByte(GetConsoleOutputCP(), 0, line.data(),
                                   static_cast<int>(line.size()), bytes, needed,
                                   nullptr, nullptr));
  EXPECT_EQ(std::string("\xC3\xBC\r\n"), std::string(bytes, 4));
}

// A reader that drains a pipe slowly, so that the writer blocks and is interrupted. The
// alarm is blocked here so that it always lands on the writer; a reader that stopped at an
// interrupted read would leave the writer blocked for ever.
void* DrainSlowly(void* argument) {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  auto* pipeAndResult = static_cast<std::pair<int, std::string>*>(argument);
  char chunk[8192];
  for (;;) {
    ssize_t n = read(pipeAndResult->first, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pipeAndResult->second.append(chunk, static_cast<size_t>(n));
    usleep(200);
  }
  return nullptr;
}

void IgnoreAlarm(int) {}

// A signal that interrupts a blocked write after part of the bytes went through makes
// write() return short; WriteFile goes on until every byte is written.
TEST_F(Console, WriteFileContinuesAfterShortWrites) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  std::pair<int, std::string> reader(ends[0], std::string());
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, DrainSlowly, &reader));

  struct sigaction action = {};
  action.sa_handler = IgnoreAlarm;  // no SA_RESTART: the write returns what it wrote
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);
  itimerval every = {{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &every, nullptr);

  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 53);
  BOOL ok;
  DWORD written = 0;
  {
    StandardInputSwap swap(ends[1]);
    ok = WriteFile(GetStdHandle(STD_INPUT_HANDLE), data.data(), static_cast<DWORD>(data.size()),
                   &written, nullptr);
  }
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  close(ends[1]);
  pthread_join(thread, nullptr);
  close(ends[0]);
  EXPECT_TRUE(ok);
  EXPECT_EQ(data.size(), written);
  EXPECT_TRUE(reader.second == data) << "received " << reader.second.size() << " bytes";
}

TEST_F(Console, WriteToClosedPipeFailsWithoutEndingTheProcess) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;  // as the program's main() sets it
  struct sigaction previous;
  sigaction(SIGPIPE, &ignore, &previous);
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  close(ends[0]);
  BOOL ok;
  {
    StandardInputSwap swap(ends[1]);
    DWORD written = 0;
    ok = WriteFile(GetStdHandle(STD_INPUT_HANDLE), "x", 1, &written, nullptr);
  }
  DWORD error = GetLastError();
  close(ends[1]);
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), error);
}

TEST_F(Console, FileIsRedirected) {
  char path[] = "/tmp/sorvanel-console-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  {
    StandardInputSwap swap(fd);
    DWORD mode;
    EXPECT_FALSE(GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode));
    DWORD written;
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_INPUT_HANDLE), "ab\r\n", 4, &written, nullptr));
  }
  lseek(fd, 0, SEEK_SET);
  EXPECT_EQ("ab\r\n", ReadAvailable(fd, 0));
  close(fd);
  unlink(path);
}

}  // namespace
