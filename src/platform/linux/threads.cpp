// Thread handles, handle duplication and thread priorities.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux/constants.h"
#include "platform/linux/events.h"

namespace {

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

HANDLE NewThreadHandle(pid_t tid) {
  return LinuxNewHandle(LinuxThread, -1, reinterpret_cast<void*>(static_cast<intptr_t>(tid)),
                        nullptr);
}

// A second handle to the same object, by kind.
HANDLE DuplicateObject(HANDLE source) {
  if (source == LINUX_CURRENT_THREAD) return NewThreadHandle(CurrentThreadId());
  switch (LinuxKindOf(source)) {
    case LinuxThread: {
      LinuxObject* thread = static_cast<LinuxObject*>(source);
      return NewThreadHandle(static_cast<pid_t>(reinterpret_cast<intptr_t>(thread->data)));
    }
    case LinuxEvent:
      return DuplicateEventHandle(static_cast<LinuxObject*>(source));
    case LinuxFile: {
      int fd = fcntl(static_cast<LinuxObject*>(source)->fd, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
      }
      HANDLE copy = LinuxNewHandle(LinuxFile, fd, nullptr, nullptr);
      if (!copy) close(fd);
      return copy;
    }
    case 0:
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
  }
}

// The nice value of each Windows thread priority, as an offset from the process's own
// nice value, which stands for THREAD_PRIORITY_NORMAL. Half the nice range lies below the
// process and half above, as the Windows levels do around normal.
bool NiceOffsetOf(int priority, int* offset) {
  switch (priority) {
    case THREAD_PRIORITY_IDLE: *offset = 19; return true;
    case THREAD_PRIORITY_LOWEST: *offset = 10; return true;
    case THREAD_PRIORITY_BELOW_NORMAL: *offset = 5; return true;
    case THREAD_PRIORITY_NORMAL: *offset = 0; return true;
    case THREAD_PRIORITY_ABOVE_NORMAL: *offset = -5; return true;
    case THREAD_PRIORITY_HIGHEST: *offset = -10; return true;
    case THREAD_PRIORITY_TIME_CRITICAL: *offset = -20; return true;
    default: return false;
  }
}

int ClampNice(int nice) { return nice < -20 ? -20 : nice > 19 ? 19 : nice; }

// The process's nice value: that of its main thread, whose id is the process id.
int ProcessNice() {
  static int nice = 100;  // not read yet
  int known = __atomic_load_n(&nice, __ATOMIC_RELAXED);
  if (known != 100) return known;
  errno = 0;
  int value = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (value == -1 && errno) value = 0;
  __atomic_store_n(&nice, value, __ATOMIC_RELAXED);
  return value;
}

// The lowest nice value this process may give a thread without privileges (RLIMIT_NICE).
int LowestAllowedNice() {
  rlimit limit;
  if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -20;
  return ClampNice(20 - static_cast<int>(limit.rlim_cur));
}

}  // namespace

extern "C" HANDLE WINAPI GetCurrentThread(void) { return LINUX_CURRENT_THREAD; }

// Duplicates within this process only: thread, event and file handles. The access and the
// inheritance asked for are not kept; handles here have all access and are never inherited.
extern "C" BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle,
                                       HANDLE targetProcess, PHANDLE targetHandle, DWORD, BOOL,
                                       DWORD options) {
  if (sourceProcess != LINUX_CURRENT_PROCESS || targetProcess != LINUX_CURRENT_PROCESS) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!targetHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HANDLE copy = DuplicateObject(sourceHandle);
  if (!copy) return FALSE;
  *targetHandle = copy;
  if (options & DUPLICATE_CLOSE_SOURCE) CloseHandle(sourceHandle);
  return TRUE;
}

// setpriority on the thread's id with the nice value of the level. Windows lets any user
// raise a thread up to HIGHEST within its process, Linux only down to the RLIMIT_NICE floor:
// a level above that floor is set as high as the floor allows, and where the thread may not
// rise at all it keeps its priority and the call still succeeds.
extern "C" BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
  pid_t tid;
  if (thread == LINUX_CURRENT_THREAD) {
    tid = CurrentThreadId();
  } else {
    LinuxObject* object = LinuxObjectOf(thread, LinuxThread);
    if (!object) return FALSE;
    tid = static_cast<pid_t>(reinterpret_cast<intptr_t>(object->data));
  }
  int offset;
  if (!NiceOffsetOf(priority, &offset)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int nice = ClampNice(ProcessNice() + offset);
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) return TRUE;
  int error = errno;
  if (error != EACCES && error != EPERM) {
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  errno = 0;
  int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  int floor = LowestAllowedNice();
  int reachable = nice < floor ? floor : nice;
  if (reachable >= current) return TRUE;  // it may not rise: leave it where it is
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), reachable) == 0) return TRUE;
  SetLastErrorFromErrno(errno);
  return FALSE;
}
