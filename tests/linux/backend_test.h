// Shared pieces of the Linux backend's tests: a fixture that checks that a test leaves no
// handle open, UTF-16 helpers, and a way to put a descriptor in place of standard input.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/linux/constants.h"
#include "platform/linux/handles.h"

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override { liveAtStart = LinuxLiveObjectCount(); }
  void TearDown() override {
    EXPECT_EQ(liveAtStart, LinuxLiveObjectCount()) << "a handle was left open";
  }

 private:
  int liveAtStart = 0;
};

inline std::u16string Wide(const char* ascii) {
  std::u16string text;
  while (*ascii) text += static_cast<char16_t>(*ascii++);
  return text;
}

// Standard input is a standard handle that the test runner does not use, so a test can put
// a terminal, a pipe or a file there and reach it through GetStdHandle(STD_INPUT_HANDLE).
class StandardInputSwap {
 public:
  explicit StandardInputSwap(int fd);
  ~StandardInputSwap();
  StandardInputSwap(const StandardInputSwap&) = delete;
  StandardInputSwap& operator=(const StandardInputSwap&) = delete;

 private:
  int saved;
};

// A pseudo-terminal pair: `master` reads what is written to `slave`. Both -1 on failure.
// A raw terminal passes output bytes unchanged; a cooked one (the default settings of a
// terminal) turns each LF into CR LF.
struct Terminal {
  int master = -1;
  int slave = -1;
};
Terminal OpenTerminal(bool raw = true);
void CloseTerminal(Terminal* terminal);
// Everything readable from `fd` within `milliseconds` of quiet.
std::string ReadAvailable(int fd, int milliseconds);
