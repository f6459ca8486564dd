// Registering the service (and starting it at once), and stopping and removing it.
#include "service/install.h"

#include "service/program_access.h"
#include "support/last_error_text.h"
#include "startup/program.h"
#include "support/output.h"
#include "support/text.h"

const WCHAR ServiceName[] = TEXT("Tamberlocke_Sorvanel");
const WCHAR ServiceDisplayName[] = TEXT("Volume file buffers flusher");
const WCHAR ServiceDescription[] =
    TEXT("Flushes volume file buffers on an interval and on request.");

namespace {

const WCHAR LoadOrderGroup[] = TEXT("Base");
// The group Base starts before the event log: without this the service's first events, its
// settings and the errors of its first pass at boot, would go to a log that is not running.
// A list of names, each with its terminator, ended by one more.
const WCHAR Dependencies[] = TEXT("EventLog\0");
const WCHAR EventSourceKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tamberlocke_Sorvanel");

// How long RemoveService waits for the service to report that it stopped, and InstallService
// for it to report that it runs.
#define STOP_WAIT_MILLISECONDS 30000
#define RESTART_DELAY_MILLISECONDS 60000
#define FAILURE_RESET_SECONDS 86400

// The path the manager starts the service by. A path with a blank is quoted: unquoted,
// the manager would try "C:\Program.exe" and the like first, as LocalSystem.
void BuildServicePath(WCHAR (&path)[PATH_CAPACITY + 2]) {
  bool blank = false;
  for (LPCWSTR p = ModulePath; *p; ++p) blank = blank || IsBlank(*p, DefaultBlanks);
  if (!blank) {
    CopyBounded(path, PATH_CAPACITY + 2, ModulePath, 0);
    return;
  }
  path[0] = '"';
  DWORD n = 1 + CopyBounded(path + 1, PATH_CAPACITY, ModulePath, 0);
  path[n] = '"';
  path[n + 1] = 0;
}

void ShowServiceFailure(LPCWSTR format) { ShowFailure(format, ServiceName); }

const SC_ACTION RestartTwice[3] = {{SC_ACTION_RESTART, RESTART_DELAY_MILLISECONDS},
                            {SC_ACTION_RESTART, RESTART_DELAY_MILLISECONDS},
                            {SC_ACTION_NONE, 0}};
const SERVICE_FAILURE_ACTIONSW RecoveryActions = {FAILURE_RESET_SECONDS, NULL, NULL, 3,
                                                  const_cast<SC_ACTION*>(RestartTwice)};

// The Services console's description, and the recovery actions: a restart a minute after
// the first and the second failure, nothing after that, the count starting again after a day.
void ConfigureService(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(ServiceDescription)};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
    ShowServiceFailure(TEXT("Cannot set description of service %s (%s)"));
  }
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                             const_cast<SERVICE_FAILURE_ACTIONSW*>(&RecoveryActions))) {
    ShowServiceFailure(TEXT("Cannot set recovery of service %s (%s)"));
  }
}

void ShowRegistryFailure(LPCWSTR format, LONG status) {
  SetLastError(static_cast<DWORD>(status));
  ShowServiceFailure(format);
}

// The event source of the service's events: Event Viewer renders them through this
// executable's message table.
void AddEventSource(void) {
  HKEY key;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, NULL,
                                REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, NULL, &key, NULL);
  if (status == ERROR_SUCCESS) {
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, TEXT("EventMessageFile"), 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(ModulePath),
                            (TextLength(ModulePath) + 1) * sizeof(WCHAR));
    if (status == ERROR_SUCCESS) {
      status = RegSetValueExW(key, TEXT("TypesSupported"), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    ShowRegistryFailure(TEXT("Cannot register event source %s (%s)"), status);
  }
}

// A key that is not there (an installation that never made it) is no failure.
void RemoveEventSource(void) {
  LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    ShowRegistryFailure(TEXT("Cannot remove event source %s (%s)"), status);
  }
}

// Failed stop requests that the next status query settles: the service has stopped already
// (1062), is starting or stopping (1061), or has not yet sent its first status report and so
// accepts no control at all (1052).
bool SettledByStatus(DWORD error) {
  return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
         error == ERROR_INVALID_SERVICE_CONTROL;
}

// The service's state a millisecond from now; 0 after a message when it cannot be queried.
DWORD StateAfterAPause(SC_HANDLE service) {
  SERVICE_STATUS status;
  Sleep(1);
  if (QueryServiceStatus(service, &status)) return status.dwCurrentState;
  ShowServiceFailure(TEXT("Cannot query service %s (%s)"));
  return 0;
}

// Asks the service to stop and waits until it says it has: 0, or 7 after a message. A
// service that is starting or stopping is asked again once its state is neither, within the
// same bound.
int StopService(SC_HANDLE service) {
  SERVICE_STATUS status;
  DWORD start = GetTickCount();
  bool ask = true;
  for (;;) {
    if (ask && !ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        !SettledByStatus(GetLastError())) {
      ShowServiceFailure(TEXT("Cannot stop service %s (%s)"));
      return 7;
    }
    DWORD state = StateAfterAPause(service);
    if (state == 0) return 7;
    if (state == SERVICE_STOPPED) return 0;
    ask = state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING;
    if (GetTickCount() - start >= STOP_WAIT_MILLISECONDS) {
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      ShowServiceFailure(TEXT("Cannot stop service %s (%s)"));
      return 7;
    }
  }
}

// Waits, within the same bound as a stop, until the started service has left START_PENDING:
// its flush event exists from then on, so a `-f` right after -i reaches it. The manager
// answers the start before that. Neither a failed query nor a service that is still starting
// changes the installation.
void WaitUntilStarted(SC_HANDLE service) {
  DWORD start = GetTickCount();
  while (StateAfterAPause(service) == SERVICE_START_PENDING &&
         GetTickCount() - start < STOP_WAIT_MILLISECONDS) {
  }
}

}  // namespace

int InstallService(void) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    ShowFailure(TEXT("Cannot open Service Manager (%s)"));
    return 7;
  }
  // A program that others can replace would run their code as LocalSystem: nothing is
  // registered for it.
  SC_HANDLE service = NULL;
  if (ProgramIsGuarded(true)) {
    WCHAR path[PATH_CAPACITY + 2];
    BuildServicePath(path);
    service = CreateServiceW(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             path, LoadOrderGroup, NULL, Dependencies, NULL, NULL);
    if (!service) ShowServiceFailure(TEXT("Cannot create service %s (%s)"));
  }
  if (!service) {
    CloseServiceHandle(manager);
    return 7;
  }
  ShowNote(TEXT("Service %s installed"), ServiceName);
  // Before the start: the service writes its first event as soon as it runs.
  ConfigureService(service);
  AddEventSource();
  int result = 0;
  if (!StartServiceW(service, 0, NULL)) {
    ShowServiceFailure(TEXT("Cannot start service %s (%s)"));
    ShowNote(TEXT("Service did not start, deleting it"));
    if (DeleteService(service)) {
      RemoveEventSource();
    } else {
      ShowFailure(TEXT("Cannot delete service (%s)"));
    }
    result = 7;
  } else {
    WaitUntilStarted(service);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

int RemoveService(void) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    ShowFailure(TEXT("Cannot open Service Manager (%s)"));
    return 7;
  }
  SC_HANDLE service = OpenServiceW(manager, ServiceName, SERVICE_ALL_ACCESS);
  if (!service) {
    ShowServiceFailure(TEXT("Cannot open service %s (%s)"));
    CloseServiceHandle(manager);
    return 7;
  }
  int result = StopService(service);
  if (result == 0) {
    if (DeleteService(service)) {
      ShowNote(TEXT("Service %s removed"), ServiceName);
      RemoveEventSource();
    } else {
      ShowServiceFailure(TEXT("Cannot delete service %s (%s)\r\nService is marked for deletion"));
      result = 7;
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}
