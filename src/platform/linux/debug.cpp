// The debugger test and the breakpoint trap.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "platform/win32.h"

// A debugger is attached when the kernel names a tracer: "TracerPid:" in /proc/self/status
// followed by a number other than 0.
extern "C" BOOL WINAPI IsDebuggerPresent(void) {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FALSE;
  char status[4096];
  ssize_t bytes = read(fd, status, sizeof status - 1);
  close(fd);
  if (bytes <= 0) return FALSE;
  status[bytes] = 0;
  const char* field = strstr(status, "TracerPid:");
  if (!field) return FALSE;
  field += strlen("TracerPid:");
  while (*field == ' ' || *field == '\t') ++field;
  return *field >= '1' && *field <= '9' ? TRUE : FALSE;
}

// Without a debugger SIGTRAP ends the process with a core dump, as an unhandled breakpoint
// ends a Windows process.
extern "C" void WINAPI DebugBreak(void) { raise(SIGTRAP); }
