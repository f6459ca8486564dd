#include "service/service_runtime.h"
#include "startup/program.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/runtime.h"
#include "volumes/templates.h"

WCHAR ModulePath[MAX_PATH];

namespace {

WCHAR DispatchServiceName[] = TEXT("");

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
    WCHAR errorText[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot get module path (%s)"), LastErrorText(errorText));
    return false;
  }
  return true;
}

// A process outside an interactive logon with neither output nor error handle was started
// by the service control manager.
bool StartedAsService(void) {
  bool interactive = false;
  if (!IsInteractiveLogon(&interactive)) return false;
  return !interactive && !OutputHandles.output && !OutputHandles.error;
}

int RunServiceDispatcher(void) {
  SERVICE_TABLE_ENTRYW table[2] = {{DispatchServiceName, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    WCHAR errorText[ERROR_TEXT_CAPACITY];
    ShowError(TEXT("Cannot start service control dispatcher (%s)"), LastErrorText(errorText));
    return 7;
  }
  return 0;
}

int StartAndRun(LPCWSTR arguments) {
  if (!FindOutputHandles(&OutputHandles.input, &OutputHandles.output, &OutputHandles.error)) {
    OutputHandles.output = nullptr;
    OutputHandles.error = nullptr;
    return 7;
  }
  UseConsoleOutputCodePage(true);
  if (!RuntimeStartup()) return 999;
  RunStaticInitialisers();
  if (!StoreModulePath()) return 7;
  if (StartedAsService()) return RunServiceDispatcher();
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
