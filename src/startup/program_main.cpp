#include "service/service_runtime.h"
#include "startup/program.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/runtime.h"
#include "volumes/templates.h"

WCHAR ModulePath[MAX_PATH];

namespace {

// Empty: an own-process service is not looked up by name. Zero storage, no data section.
WCHAR DispatchServiceName[1];

bool StoreModulePath(void) {
  DWORD length = GetModuleFileNameW(nullptr, ModulePath, MAX_PATH);
  // A path that fills the whole buffer was cut; a cut path would name the wrong settings
  // file and register the wrong executable, so it counts as a failure.
  if (length != 0 && length >= MAX_PATH) {
    ModulePath[0] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    length = 0;
  }
  if (length == 0) {
    ShowFailure(TEXT("Cannot get module path (%s)"));
    return false;
  }
  return true;
}

// A process outside an interactive logon with neither output nor error handle was started
// by the service control manager.
bool StartedAsService(void) {
  bool interactive = false;
  if (!IsInteractiveLogon(&interactive)) return false;
  bool service = !interactive && !OutputHandles.output && !OutputHandles.error;
  // A user's process shows its errors in boxes again.
  UseEventLog(service);
  return service;
}

int RunServiceDispatcher(LPCWSTR arguments) {
  // Filled field by field: an initialiser with addresses would be copied from a data section
  // of its own in the 32-bit image.
  SERVICE_TABLE_ENTRYW table[2] = {};
  table[0].lpServiceName = DispatchServiceName;
  table[0].lpServiceProc = ServiceMain;
  if (!StartServiceCtrlDispatcherW(table)) {
    // Not started by the service manager after all: a program without handles outside an
    // interactive logon, such as a backup agent running `sorvanel -f` detached. It does what
    // its command line says; its errors still go to the event log.
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return RunCommandLine(arguments);
    ShowFailure(TEXT("Cannot start service control dispatcher (%s)"));
    return 7;
  }
  return 0;
}

int StartAndRun(LPCWSTR arguments) {
  // No "No disk" box for an empty drive or card slot: nobody may be there to answer it (in the
  // service nobody ever is), and the volume's failure is reported as any other.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  if (!FindOutputHandles(&OutputHandles.input, &OutputHandles.output, &OutputHandles.error)) {
    OutputHandles.output = nullptr;
    OutputHandles.error = nullptr;
    return 7;
  }
  UseConsoleOutputCodePage(true);
  // Without output handles this may be the service, in session 0 where nobody sees a box:
  // until the logon check has found a user's process, errors go to the event log (and before
  // Windows 6.0 to a box as well). The service keeps it so.
  if (!OutputHandles.output && !OutputHandles.error) UseEventLog(true);
  if (!RuntimeStartup()) return 999;
  RunStaticInitialisers();
  if (!StoreModulePath()) return 7;
  if (StartedAsService()) return RunServiceDispatcher(arguments);
  return RunCommandLine(arguments);
}

}  // namespace

int ProgramMain(LPCWSTR arguments) {
  int result = StartAndRun(arguments);
  // The global list is empty from process start, so this is safe on every path.
  EmptyTemplateList(&GlobalTemplateList);
  RuntimeShutdown();
  return result;
}
