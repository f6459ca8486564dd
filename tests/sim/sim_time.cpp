// Virtual time, the current thread and thread priorities of the simulated machine.
#include "sim/sim_time.h"

#include <map>
#include <memory>

#include "sim/sim_internal.h"

namespace {

// Thread access rights: the pseudo handle of the current thread holds them all; setting a
// priority needs one of the two "set information" rights.
const DWORD ThreadSetInformation = 0x0020;
const DWORD ThreadSetLimitedInformation = 0x0400;
const DWORD ThreadAllAccess = 0x001FFFFF;

struct ThreadHandle {
  const char* role;
  DWORD access;
};

struct TimeState {
  DWORD ticks = 1000000;
  std::map<std::string, int> priorities;
  std::vector<SimPriorityChange> changes;
  std::vector<std::unique_ptr<ThreadHandle>> threadHandles;
};

TimeState* state = nullptr;
thread_local const char* threadRole = "main";

const HANDLE CurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
const HANDLE CurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

void ResetTime() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new TimeState();
}

SimResetRegistration registration(ResetTime);

void CloseThreadHandle(void* payload) {
  for (auto it = state->threadHandles.begin(); it != state->threadHandles.end(); ++it) {
    if (it->get() == payload) {
      state->threadHandles.erase(it);
      return;
    }
  }
}

bool ValidPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

void SimSetTickCount(DWORD ticks) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->ticks = ticks;
}

DWORD SimTickCount() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->ticks;
}

// The role is a string literal: it outlives every handle that names it.
void SimSetThreadRole(const char* role) { threadRole = role; }
std::string SimThreadRole() { return threadRole; }

std::vector<SimPriorityChange> SimPriorityChanges() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->changes;
}

int SimThreadPriority(const std::string& role) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto it = state->priorities.find(role);
  return it == state->priorities.end() ? 0 : it->second;
}

extern "C" void WINAPI Sleep(DWORD milliseconds) {
  SimNoteCall("Sleep");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->ticks += milliseconds;
}

extern "C" DWORD WINAPI GetTickCount(void) {
  SimNoteCall("GetTickCount");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->ticks;
}

extern "C" HANDLE WINAPI GetCurrentThread(void) {
  SimNoteCall("GetCurrentThread");
  return CurrentThreadPseudoHandle;
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
  if (SimFault("SetThreadPriority")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::string target;
  if (thread == CurrentThreadPseudoHandle) {
    target = threadRole;
  } else {
    const ThreadHandle* handle =
        static_cast<const ThreadHandle*>(SimHandlePayload(thread, SimHandleKind::Thread));
    if (!handle) {
      SimSetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!(handle->access & (ThreadSetInformation | ThreadSetLimitedInformation))) {
      SimSetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    target = handle->role;
  }
  if (!ValidPriority(priority)) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  state->priorities[target] = priority;
  state->changes.push_back({threadRole, target, priority});
  return TRUE;
}

// Only thread handles are duplicated, within the process: the pseudo handle of the current
// thread becomes a real handle that designates that thread from any other. The new handle
// holds the source's rights with DUPLICATE_SAME_ACCESS, otherwise those asked for.
extern "C" BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle,
                                       HANDLE targetProcess, PHANDLE targetHandle,
                                       DWORD desiredAccess, BOOL, DWORD options) {
  if (SimFault("DuplicateHandle")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (sourceProcess != CurrentProcessPseudoHandle || targetProcess != CurrentProcessPseudoHandle ||
      !targetHandle) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ThreadHandle source = {threadRole, ThreadAllAccess};
  if (sourceHandle != CurrentThreadPseudoHandle) {
    const ThreadHandle* known =
        static_cast<const ThreadHandle*>(SimHandlePayload(sourceHandle, SimHandleKind::Thread));
    if (!known) {
      SimSetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    source = *known;
  }
  DWORD access = (options & DUPLICATE_SAME_ACCESS) ? source.access : desiredAccess;
  state->threadHandles.push_back(std::unique_ptr<ThreadHandle>(new ThreadHandle{source.role, access}));
  std::string description = std::string("thread ") + source.role;
  *targetHandle = SimCreateHandle(SimHandleKind::Thread, state->threadHandles.back().get(),
                                  CloseThreadHandle, true, description.c_str());
  return TRUE;
}
