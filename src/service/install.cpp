// Registering the service (and starting it at once), and stopping and removing it.
#include "service/install.h"

#include "support/last_error_text.h"
#include "startup/program.h"
#include "support/output.h"
#include "support/text.h"

const WCHAR ServiceName[] = TEXT("Tamberlocke_Sorvanel");
const WCHAR ServiceDisplayName[] = TEXT("Volume file buffers flusher");

namespace {

const WCHAR LoadOrderGroup[] = TEXT("Base");

// How long RemoveService waits for the service to report that it stopped.
#define STOP_WAIT_MILLISECONDS 30000

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

void ShowServiceFailure(LPCWSTR format) {
  WCHAR error[ERROR_TEXT_CAPACITY];
  ShowError(format, ServiceName, LastErrorText(error));
}

// Asks the service to stop and waits until it says it has: 0, or 7 after a message.
int StopService(SC_HANDLE service) {
  SERVICE_STATUS status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    ShowServiceFailure(TEXT("Cannot stop service %s (%s)"));
    return 7;
  }
  DWORD start = GetTickCount();
  for (;;) {
    Sleep(1);
    if (!QueryServiceStatus(service, &status)) {
      ShowServiceFailure(TEXT("Cannot query service %s (%s)"));
      return 7;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;
    if (GetTickCount() - start >= STOP_WAIT_MILLISECONDS) {
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      ShowServiceFailure(TEXT("Cannot stop service %s (%s)"));
      return 7;
    }
  }
}

}  // namespace

int InstallService(void) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    WCHAR error[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot open Service Manager (%s)"), LastErrorText(error));
    return 7;
  }
  WCHAR path[PATH_CAPACITY + 2];
  BuildServicePath(path);
  SC_HANDLE service = CreateServiceW(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, path, LoadOrderGroup, NULL, NULL, NULL,
                                     NULL);
  if (!service) {
    ShowServiceFailure(TEXT("Cannot create service %s (%s)"));
    CloseServiceHandle(manager);
    return 7;
  }
  ShowNote(TEXT("Service %s installed"), ServiceName);
  int result = 0;
  if (!StartServiceW(service, 0, NULL)) {
    ShowServiceFailure(TEXT("Cannot start service %s (%s)"));
    ShowNote(TEXT("Service did not start, deleting it"));
    if (!DeleteService(service)) {
      WCHAR error[ERROR_TEXT_CAPACITY];
      ShowError(TEXT("Cannot delete service (%s)"), LastErrorText(error));
    }
    result = 7;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

int RemoveService(void) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    WCHAR error[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot open Service Manager (%s)"), LastErrorText(error));
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
    } else {
      ShowServiceFailure(TEXT("Cannot delete service %s (%s)\r\nService is marked for deletion"));
      result = 7;
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}
