// The Linux program's entry: the command line is made from argv, then the system's own
// entry point runs and ends the process itself.
#include <signal.h>
#include <unistd.h>

#include "platform/linux/command_line.h"
#include "startup/program.h"

int main(int argc, char** argv) {
  // A write to a closed pipe must fail like a Windows write does, not end the process.
  signal(SIGPIPE, SIG_IGN);
  if (!LinuxSetCommandLine(argc, argv)) return 8;  // no memory, the code of that failure
  ProgramEntry();
  return 0;  // not reached: ProgramEntry ends the process with ExitProcess
}
