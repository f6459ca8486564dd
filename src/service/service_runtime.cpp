// The service's life. ServiceMain runs on the dispatcher's service thread and does all the
// flushing; ServiceControlHandler runs on the main thread. They share ServiceRuntime: the
// stop flag and the thread handle through atomic operations, the status through the order
// of their writes (STOP_PENDING before the flag, STOPPED after it is seen).
#include "service/service_runtime.h"

#include "service/event_security.h"
#include "service/install.h"
#include "support/last_error_text.h"
#include "service/settings.h"
#include "startup/program.h"
#include "support/output.h"
#include "volumes/flush.h"
#include "volumes/templates.h"

ServiceRuntimeRecord ServiceRuntime = {
    {SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, 0,
     SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0, 0, 1000},
    NULL,
    false,
    NULL,
};

namespace {

#define CYCLE_MILLISECONDS 200

void ShowFailure(LPCWSTR format) {
  WCHAR error[ERROR_TEXT_CAPACITY];
  ShowError(format, LastErrorText(error));
}

void ReportState(DWORD state) {
  __atomic_store_n(&ServiceRuntime.status.dwCurrentState, state, __ATOMIC_SEQ_CST);
  if (!SetServiceStatus(ServiceRuntime.statusHandle, &ServiceRuntime.status)) {
    ShowFailure(TEXT("Cannot set service status (%s)"));
  }
}

bool StopRequested(void) { return __atomic_load_n(&ServiceRuntime.stopRequested, __ATOMIC_SEQ_CST); }

// A real handle to the current thread, for the handler on the main thread: the pseudo handle
// of GetCurrentThread would name whichever thread uses it.
void KeepFlushThread(void) {
  HANDLE thread = NULL;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    ShowFailure(TEXT("Cannot get service thread handle (%s)"));
    return;
  }
  __atomic_store_n(&ServiceRuntime.flushThread, thread, __ATOMIC_SEQ_CST);
}

void DropFlushThread(void) {
  HANDLE thread = __atomic_exchange_n(&ServiceRuntime.flushThread, HANDLE(NULL), __ATOMIC_SEQ_CST);
  if (thread) CloseHandle(thread);
}

// The named event that `-f` signals; null when it cannot be made. Its handle stays open until
// the process ends.
HANDLE CreateFlushEvent(void) {
  FlushEventSecurity security;
  HANDLE event = NULL;
  if (BuildFlushEventSecurity(&security)) {
    event = CreateEventW(&security.attributes, FALSE, FALSE, FlushRequestEventName);
  }
  if (!event) ShowFailure(TEXT("Cannot create flush event (%s)"));
  return event;
}

// Every cycle: sleep, then flush when the event was signalled or when more than the interval
// has passed since the end of the last flush; leave after the cycle in which the stop flag
// is seen.
void FlushLoop(HANDLE event) {
  DWORD lastFlushTick = 0;
  for (;;) {
    Sleep(CYCLE_MILLISECONDS);
    bool due = event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    if (!due && ServiceSettings.intervalSeconds != 0) {
      DWORD elapsed = GetTickCount() - lastFlushTick;
      due = elapsed > ServiceSettings.intervalSeconds * 1000u;
    }
    if (due) {
      FlushSelectedVolumes(&GlobalTemplateList, false);
      lastFlushTick = GetTickCount();
    }
    if (StopRequested()) return;
  }
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceRuntime.statusHandle = RegisterServiceCtrlHandlerW(ServiceName, ServiceControlHandler);
  if (!ServiceRuntime.statusHandle) {
    ShowFailure(TEXT("Cannot register service handler (%s)"));
    return;
  }
  ReportState(SERVICE_START_PENDING);
  KeepFlushThread();
  ReportState(SERVICE_RUNNING);
  LoadSettings();
  HANDLE event = CreateFlushEvent();
  if (!SetThreadPriority(GetCurrentThread(), ServiceSettings.threadPriority)) {
    WCHAR error[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot set thread priority %d (%s)"), ServiceSettings.threadPriority,
              LastErrorText(error));
  }
  if (!StopRequested()) FlushLoop(event);
  ReportState(SERVICE_STOPPED);
  DropFlushThread();
}

void WINAPI ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      ReportState(SERVICE_STOP_PENDING);
      HANDLE thread = __atomic_load_n(&ServiceRuntime.flushThread, __ATOMIC_SEQ_CST);
      if (thread && !SetThreadPriority(thread, THREAD_PRIORITY_NORMAL)) {
        ShowFailure(TEXT("Cannot reset thread priority (%s)"));
      }
      __atomic_store_n(&ServiceRuntime.stopRequested, true, __ATOMIC_SEQ_CST);
      break;
    }
    case SERVICE_CONTROL_INTERROGATE:
      if (!SetServiceStatus(ServiceRuntime.statusHandle, &ServiceRuntime.status)) {
        ShowFailure(TEXT("Cannot set service status (%s)"));
      }
      break;
    default:
      break;
  }
}
