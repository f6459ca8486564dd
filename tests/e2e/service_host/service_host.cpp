// A service program for the end-to-end tests only: the service code of sorvanel.exe behind an
// entry that goes to the service control dispatcher directly. Wine puts every process, its
// services too, in the INTERACTIVE group, so sorvanel.exe itself never takes its service path
// there; this host does.
//
// With arguments it runs the command line as sorvanel.exe does, so "-i" registers the host
// itself (by its own path) and starts it. Started without arguments it is the service. When
// a file "<executable>.log" is there beside it, its notes and errors go to that file, emptied
// first, where the tests read them; otherwise it has no output handles, as sorvanel.exe's
// service has none, and its errors go to the event log as that service's do. When a file
// "<executable>.stats" is there, it appends to it every 10 s a line "<process id> <seconds
// since start> <handles> <private bytes>" (the soak under Wine reads them): this host may
// import what sorvanel.exe may not.
#include "service/service_runtime.h"
#include "support/format.h"
#include "startup/program.h"
#include "support/output.h"
#include "support/runtime.h"
#include "support/text.h"
#include "volumes/templates.h"

#include <psapi.h>

namespace {

WCHAR HostServiceName[] = TEXT("");

// The file "<executable><extension>", if it is there; INVALID_HANDLE_VALUE if not.
HANDLE OpenBeside(LPCWSTR extension, DWORD access, DWORD disposition) {
  WCHAR path[MAX_PATH + 8];
  DWORD n = CopyBounded(path, MAX_PATH, ModulePath, 0);
  CopyBounded(path + n, 8, extension, 0);
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition, 0, NULL);
}

// Sends notes and errors to the log file beside the executable, emptied, if there is one;
// else errors to the event log.
void ChooseOutput(void) {
  HANDLE log = OpenBeside(TEXT(".log"), GENERIC_WRITE, TRUNCATE_EXISTING);
  if (log == INVALID_HANDLE_VALUE) {
    OutputHandles.output = NULL;
    OutputHandles.error = NULL;
    UseEventLog(true);
    return;
  }
  OutputHandles.output = log;
  OutputHandles.error = log;
}

// Wine 8 answers GetProcessHandleCount with 0 and has no private usage in the memory counters;
// there the host counts the handle values that GetHandleInformation knows (Wine gives out
// the lowest free multiple of 4) and adds up the committed private regions of its address
// space.
DWORD HandleCount(void) {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  if (count) return count;
  for (ULONG_PTR value = 4; value <= 0x10000; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

SIZE_T PrivateBytes(void) {
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  if (memory.PrivateUsage) return memory.PrivateUsage;
  SIZE_T bytes = 0;
  MEMORY_BASIC_INFORMATION region;
  for (BYTE* at = NULL; VirtualQuery(at, &region, sizeof region); at += region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
  }
  return bytes;
}

// Every 10 s, the process's handle count and private bytes, appended to the open file.
DWORD WINAPI SampleResources(LPVOID file) {
  for (DWORD seconds = 10;; seconds += 10) {
    Sleep(10000);
    WCHAR line[SHORT_TEXT_CAPACITY];
    DWORD length = FormatText(line, SHORT_TEXT_CAPACITY, TEXT("%u %u %u %u\r\n"), GetCurrentProcessId(),
                              seconds, HandleCount(), static_cast<DWORD>(PrivateBytes()));
    char bytes[SHORT_TEXT_CAPACITY];
    for (DWORD i = 0; i < length; ++i) bytes[i] = static_cast<char>(line[i]);
    DWORD written;
    WriteFile(file, bytes, length, &written, NULL);
  }
}

void StartSampling(void) {
  HANDLE file = OpenBeside(TEXT(".stats"), FILE_APPEND_DATA, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return;
  HANDLE thread = CreateThread(NULL, 0, SampleResources, file, 0, NULL);
  if (thread) CloseHandle(thread);
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
    StartSampling();
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
