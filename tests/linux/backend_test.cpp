#include "backend_test.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

StandardInputSwap::StandardInputSwap(int fd) : saved(dup(0)) { dup2(fd, 0); }

StandardInputSwap::~StandardInputSwap() {
  dup2(saved, 0);
  close(saved);
}

Terminal OpenTerminal(bool raw) {
  Terminal terminal;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return terminal;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return terminal;
  }
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    close(master);
    return terminal;
  }
  termios settings;
  tcgetattr(slave, &settings);
  if (raw) {
    cfmakeraw(&settings);
  } else {
    settings.c_oflag |= OPOST | ONLCR;
  }
  tcsetattr(slave, TCSANOW, &settings);
  terminal.master = master;
  terminal.slave = slave;
  return terminal;
}

void CloseTerminal(Terminal* terminal) {
  if (terminal->slave >= 0) close(terminal->slave);
  if (terminal->master >= 0) close(terminal->master);
  terminal->master = terminal->slave = -1;
}

std::string ReadAvailable(int fd, int milliseconds) {
  std::string bytes;
  for (;;) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, milliseconds) <= 0 || !(ready.revents & POLLIN)) break;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}
