// The service's life. ServiceMain runs on the dispatcher's service thread and does all the
// flushing; ServiceControlHandler runs on the main thread. They share ServiceRuntime: the
// two flags and the thread handle through atomic operations, the status through the order
// of their writes (STOP_PENDING before the stop flag, STOPPED after it is seen). The thread
// handle belongs to whoever takes it out of the record: the handler, which resets the
// priority, or ServiceMain at the end; the taker alone uses and closes it.
#include "service/service_runtime.h"

#include "service/event_security.h"
#include "service/install.h"
#include "service/program_access.h"
#include "support/last_error_text.h"
#include "service/settings.h"
#include "startup/program.h"
#include "support/output.h"
#include "volumes/flush.h"
#include "volumes/templates.h"

// All zero at start; ServiceMain fills in the fixed fields of the status (so the image
// carries no initialised data for it).
ServiceRuntimeRecord ServiceRuntime;

namespace {

#define CYCLE_MILLISECONDS 200
#define WAIT_HINT_MILLISECONDS 1000

void ReportState(DWORD state) {
  __atomic_store_n(&ServiceRuntime.status.dwCurrentState, state, __ATOMIC_SEQ_CST);
  if (!SetServiceStatus(ServiceRuntime.statusHandle, &ServiceRuntime.status)) {
    ShowFailure(TEXT("Cannot set service status (%s)"));
  }
}

bool StopRequested(void) { return __atomic_load_n(&ServiceRuntime.stopRequested, __ATOMIC_SEQ_CST); }

// True once for any number of flush-request controls since the last call.
bool TakeFlushRequest(void) {
  return __atomic_exchange_n(&ServiceRuntime.flushRequested, false, __ATOMIC_SEQ_CST);
}

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

// Takes the handle out of the record, so that nobody else can use or close it.
HANDLE TakeFlushThread(void) {
  return __atomic_exchange_n(&ServiceRuntime.flushThread, HANDLE(NULL), __ATOMIC_SEQ_CST);
}

// One place closes the handle, whichever side took it.
void CloseFlushThread(HANDLE thread) {
  if (thread) CloseHandle(thread);
}

// The handler's part of a stop: the flush thread back to normal priority. Without a handle
// (the stop came before ServiceMain stored it) there is nothing to reset.
void ResetFlushThreadPriority(void) {
  HANDLE thread = TakeFlushThread();
  if (!thread) return;
  if (!SetThreadPriority(thread, THREAD_PRIORITY_NORMAL)) {
    ShowFailure(TEXT("Cannot reset thread priority (%s)"));
  }
  CloseFlushThread(thread);
}

// The named event that `-f` signals; null when it cannot be made. Its handle stays open until
// the process ends. An event of that name that exists already is not ours: any user may
// create one while the service is stopped, and could then drain the requests meant for us.
// It counts as a failure to create the event, and the service goes on without one.
HANDLE CreateFlushEvent(void) {
  FlushEventSecurity security;
  HANDLE event = NULL;
  if (BuildFlushEventSecurity(&security)) {
    event = CreateEventW(&security.attributes, FALSE, FALSE, FlushRequestEventName);
  }
  bool taken = event && GetLastError() == ERROR_ALREADY_EXISTS;
  if (!event || taken) ShowFailure(TEXT("Cannot create flush event (%s)"));
  if (taken) {
    CloseHandle(event);
    event = NULL;
  }
  return event;
}

// Every cycle: sleep, then flush when the event was signalled or a flush-request control
// came, or when more than the interval has passed since the end of the last flush; leave
// after the cycle in which the stop flag is seen. The event and the control are both taken
// in every cycle, so that any number of requests in one cycle give one flush.
void FlushLoop(HANDLE event) {
  DWORD lastFlushTick = 0;
  for (;;) {
    Sleep(CYCLE_MILLISECONDS);
    bool due = event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    if (TakeFlushRequest()) due = true;
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
  // The fields that every report carries unchanged; set before the handler can interrogate.
  ServiceRuntime.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  ServiceRuntime.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  ServiceRuntime.status.dwWaitHint = WAIT_HINT_MILLISECONDS;
  ServiceRuntime.statusHandle = RegisterServiceCtrlHandlerW(ServiceName, ServiceControlHandler);
  if (!ServiceRuntime.statusHandle) {
    ShowFailure(TEXT("Cannot register service handler (%s)"));
    return;
  }
  ReportState(SERVICE_START_PENDING);
  KeepFlushThread();
  ReportState(SERVICE_RUNNING);
  LoadSettings();
  ReportSettingsInForce();
  // Copied, or the package installed, to a folder that others can change: the service runs
  // all the same, and says once per start what others can change.
  ProgramIsGuarded(false);
  HANDLE event = CreateFlushEvent();
  if (!SetThreadPriority(GetCurrentThread(), ServiceSettings.threadPriority)) {
    WCHAR error[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot set thread priority %d (%s)"), ServiceSettings.threadPriority,
              LastErrorText(error));
  }
  if (!StopRequested()) FlushLoop(event);
  ReportState(SERVICE_STOPPED);
  CloseFlushThread(TakeFlushThread());
}

void WINAPI ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // Only the first: a SHUTDOWN after a STOP must neither report STOP_PENDING again,
      // perhaps after STOPPED, nor reach for the thread. The handler alone sets the flag,
      // and the dispatcher runs it for one control at a time.
      if (StopRequested()) break;
      ReportState(SERVICE_STOP_PENDING);
      ResetFlushThreadPriority();
      __atomic_store_n(&ServiceRuntime.stopRequested, true, __ATOMIC_SEQ_CST);
      break;
    case FLUSH_REQUEST_CONTROL:
      // As a signal of the flush-request event; the accepted controls stay as they are,
      // since user-defined codes are always delivered.
      __atomic_store_n(&ServiceRuntime.flushRequested, true, __ATOMIC_SEQ_CST);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      if (!SetServiceStatus(ServiceRuntime.statusHandle, &ServiceRuntime.status)) {
        ShowFailure(TEXT("Cannot set service status (%s)"));
      }
      break;
    default:
      break;
  }
}
