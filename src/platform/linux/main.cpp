// The Linux program's entry: the command line is made from argv, then the system's own
// entry point runs and ends the process itself.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include "platform/linux/command_line.h"
#include "startup/program.h"

int main(int argc, char** argv) {
  // A write to a closed pipe must fail like a Windows write does, not end the process.
  signal(SIGPIPE, SIG_IGN);
  // Every block comes from the heap, and freed memory stays there: what one step of a flush
  // pass frees (a long mount-path list, say) the next one reuses instead of taking fresh
  // pages from the kernel, each of which costs a page fault. The mount table has an arena.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  if (!LinuxSetCommandLine(argc, argv)) return 8;  // no memory, the code of that failure
  ProgramEntry();
  return 0;  // not reached: ProgramEntry ends the process with ExitProcess
}
