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

// Reports the status record as it stands.
void SendStatus(void) {
  if (!SetServiceStatus(ServiceRuntime.statusHandle, &ServiceRuntime.status)) {
    ShowFailure(TEXT("Cannot set service status (%s)"));
  }
}

void ReportState(DWORD state) {
  __atomic_store_n(&ServiceRuntime.status.dwCurrentState, state, __ATOMIC_SEQ_CST);
  SendStatus();
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
// the process ends. An event of that name that exists already is used only when SYSTEM or the
// Administrators own it: any user may create one while the service is stopped, and could then
// drain or drop the requests meant for us. Another one counts as a failure to create the
// event. Only the first attempt says why it failed (`report`): the flush loop tries again
// quietly in every cycle, so that the service has its event once the other one is gone.
HANDLE CreateFlushEvent(bool report) {
  FlushEventSecurity security;
  HANDLE event = NULL;
  if (BuildFlushEventSecurity(&security)) {
    event = CreateEventW(&security.attributes, FALSE, FALSE, FlushRequestEventName);
  }
  if (event && GetLastError() == ERROR_ALREADY_EXISTS && !OwnedByAdministrators(event)) {
    CloseHandle(event);
    event = NULL;
    SetLastError(ERROR_ALREADY_EXISTS);
  }
  if (!event && report) ShowFailure(TEXT("Cannot create flush event (%s)"));
  return event;
}

// RUNNING, unless a stop came while the service was starting: its STOP_PENDING must not be
// overwritten. A stop that comes while RUNNING is being reported may reach the manager before
// it; the state is then reported once more, so that the stop's is the last word.
void ReportRunning(void) {
  DWORD starting = SERVICE_START_PENDING;
  if (!__atomic_compare_exchange_n(&ServiceRuntime.status.dwCurrentState, &starting,
                                   SERVICE_RUNNING, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
    return;
  }
  SendStatus();
  if (__atomic_load_n(&ServiceRuntime.status.dwCurrentState, __ATOMIC_SEQ_CST) != SERVICE_RUNNING) {
    SendStatus();
  }
}

// Every cycle: wait up to the cycle's length for the event, so that a signal releases the
// thread at once and nobody who may reset the event can take it away before the service has
// seen it; then flush when the event was signalled or a flush-request control came, or when
// more than the interval has passed since the end of the last flush; leave after the cycle in
// which the stop flag is seen. Without an event (or when the wait fails at once) the cycle
// sleeps instead, and tries to make the event again. Any number of requests while the thread
// waits give one flush; a request during a pass gives one more pass after it.
void FlushLoop(HANDLE event) {
  DWORD lastFlushTick = 0;
  for (;;) {
    DWORD woken = event ? WaitForSingleObject(event, CYCLE_MILLISECONDS) : WAIT_FAILED;
    if (woken == WAIT_FAILED) Sleep(CYCLE_MILLISECONDS);
    if (!event) event = CreateFlushEvent(false);
    bool due = woken == WAIT_OBJECT_0;
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
  // Before RUNNING: a client that waits for RUNNING (-i does) finds the event.
  HANDLE event = CreateFlushEvent(true);
  ReportRunning();
  LoadSettings();
  ReportSettingsInForce();
  // Copied, or the package installed, to a folder that others can change: the service runs
  // all the same, and says once per start what others can change.
  ProgramIsGuarded(false);
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
      SendStatus();
      break;
    default:
      break;
  }
}
