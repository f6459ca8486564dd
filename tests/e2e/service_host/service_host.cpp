// A service program for the end-to-end tests only: the service code of sorvanel.exe behind an
// entry that goes to the service control dispatcher directly. Wine puts every process, its
// services too, in the INTERACTIVE group, so sorvanel.exe itself never takes its service path
// there; this host does.
//
// With arguments it runs the command line as sorvanel.exe does, so "-i" registers the host
// itself (by its own path) and starts it. Started without arguments it is the service. When
// a file "<executable>.log" is there beside it, its notes and errors go to that file, emptied
// first, where the tests read them; otherwise it has no output handles, as sorvanel.exe's
// service has none, and its errors go to the event log as that service's do.
#include "service/service_runtime.h"
#include "startup/program.h"
#include "support/output.h"
#include "support/runtime.h"
#include "support/text.h"
#include "volumes/templates.h"

namespace {

WCHAR HostServiceName[] = TEXT("");

// Sends notes and errors to the log file beside the executable, emptied, if there is one;
// else errors to the event log.
void ChooseOutput(void) {
  WCHAR path[MAX_PATH + 4];
  DWORD n = CopyBounded(path, MAX_PATH, ModulePath, 0);
  CopyBounded(path + n, 5, TEXT(".log"), 0);
  HANDLE log = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           TRUNCATE_EXISTING, 0, NULL);
  if (log == INVALID_HANDLE_VALUE) {
    OutputHandles.output = NULL;
    OutputHandles.error = NULL;
    UseEventLog(true);
    return;
  }
  OutputHandles.output = log;
  OutputHandles.error = log;
}

int RunHostedService(void) {
  if (!FindOutputHandles(&OutputHandles.input, &OutputHandles.output, &OutputHandles.error)) {
    OutputHandles.output = NULL;
    OutputHandles.error = NULL;
  }
  UseConsoleOutputCodePage(true);
  if (!RuntimeStartup()) return 999;
  RunStaticInitialisers();
  int result = 7;
  if (GetModuleFileNameW(NULL, ModulePath, MAX_PATH) != 0) {
    ChooseOutput();
    SERVICE_TABLE_ENTRYW table[2] = {{HostServiceName, ServiceMain}, {NULL, NULL}};
    result = StartServiceCtrlDispatcherW(table) ? 0 : 7;
    if (result != 0) ShowError(TEXT("Cannot start service control dispatcher"));
  }
  EmptyTemplateList(&GlobalTemplateList);
  RuntimeShutdown();
  return result;
}

}  // namespace

extern "C" void ServiceHostEntry(void) {
  LPCWSTR arguments = SkipProgramName(GetCommandLineW());
  ExitProcess(static_cast<UINT>(*arguments ? ProgramMain(arguments) : RunHostedService()));
}
