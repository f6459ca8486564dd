// Virtual time, the current thread and thread priorities of the simulated machine.
#include "sim/sim_time.h"

#include <map>

#include "sim/sim_internal.h"

namespace {

struct TimeState {
  DWORD ticks = 1000000;
  std::map<std::string, int> priorities;
  std::vector<SimPriorityChange> changes;
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
  SimFault("Sleep");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->ticks += milliseconds;
}

extern "C" DWORD WINAPI GetTickCount(void) {
  SimFault("GetTickCount");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->ticks;
}

extern "C" HANDLE WINAPI GetCurrentThread(void) {
  SimFault("GetCurrentThread");
  return CurrentThreadPseudoHandle;
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
  if (SimFault("SetThreadPriority")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::string target;
  if (thread == CurrentThreadPseudoHandle) {
    target = threadRole;
  } else {
    const char* role = static_cast<const char*>(SimHandlePayload(thread, SimHandleKind::Thread));
    if (!role) {
      SimSetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    target = role;
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
// thread becomes a real handle that designates that thread from any other.
extern "C" BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle,
                                       HANDLE targetProcess, PHANDLE targetHandle, DWORD,
                                       BOOL, DWORD) {
  if (SimFault("DuplicateHandle")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (sourceProcess != CurrentProcessPseudoHandle || targetProcess != CurrentProcessPseudoHandle ||
      !targetHandle) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* role = nullptr;
  if (sourceHandle == CurrentThreadPseudoHandle) {
    role = threadRole;
  } else if (const char* known = static_cast<const char*>(
                 SimHandlePayload(sourceHandle, SimHandleKind::Thread))) {
    role = known;
  } else {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string description = std::string("thread ") + role;
  *targetHandle = SimCreateHandle(SimHandleKind::Thread, const_cast<char*>(role), nullptr, true,
                                  description.c_str());
  return TRUE;
}
