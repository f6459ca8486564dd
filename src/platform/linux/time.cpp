// Sleeping and the tick count.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include "platform/win32.h"

// Sleeps the whole time, also when a signal interrupts it; INFINITE never returns.
extern "C" void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec rest = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) == -1 && errno == EINTR) {
  }
}

// Milliseconds of CLOCK_MONOTONIC in 32 bits, wrapping after 49.7 days as on Windows.
extern "C" DWORD WINAPI GetTickCount(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u +
                          static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(milliseconds);
}
