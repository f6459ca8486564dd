// A service-manager client for the end-to-end tests only, as a Windows program so that it
// talks to Wine's service manager the way a Windows administrator's tools do:
//
//   sorvanel_service_client control <service> <code>
//       sends the control code, as "sc control <service> <code>" does (Wine's sc.exe has no
//       "control" command);
//   sorvanel_service_client stop-after-flush <service> <log file>
//       asks for a flush with control 128, waits until the log file grows (the flush pass
//       has written to it, so the service's next cycle has just begun), then stops the
//       service and queries its status until it is STOPPED. Prints the milliseconds from
//       the stop request to STOPPED, as the service manager saw them. The log is the
//       service's own, or the file that a Wine session writes its services' error events to;
//   sorvanel_service_client stop <service>
//       the same stop, whenever it comes; after the time it waits until the service's process
//       has ended (and with it the objects it held);
//   sorvanel_service_client start <service> <event name>
//       starts the service (unless it runs) and returns once it has made the event of that
//       name (its flush loop is about to begin);
//   sorvanel_service_client start-holding <service> <mutex name> <log file>
//       creates a mutex of that name, starts the service and keeps the mutex until the log
//       file grows (the service has reported its first error), for a service that finds the
//       name taken;
//   sorvanel_service_client start-squatting <service> <event name> <log file>
//       the same with an event of that name whose DACL is null (everyone may do everything),
//       as any user could make it while the service is stopped;
//   sorvanel_service_client description <service>
//       prints the service's description, as the Services console shows it;
//   sorvanel_service_client render <module> <message id> <insert 1> [<insert 2>]
//       prints the message of the module's message table with the inserts, as Event Viewer
//       renders an event's strings through its source's message file.
//
// Text is printed as UTF-8. Exit code 0 on success; otherwise 1 with the step and the error
// code on standard output.
#include <windows.h>

namespace {

void WriteBytes(const char* text, DWORD length) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, NULL);
}

// Literals only: their length is known, so no strlen is needed (there is no C library).
template <DWORD N>
void Write(const char (&text)[N]) {
  WriteBytes(text, N - 1);
}

void WriteNumber(unsigned long long value) {
  char digits[24];
  int at = 23;
  digits[at] = 0;
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  WriteBytes(digits + at, static_cast<DWORD>(23 - at));
}

// UTF-16 text as UTF-8, at most a few lines.
void WriteText(LPCWSTR text, int length) {
  char bytes[4096];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, sizeof bytes, NULL, NULL);
  if (length > 0 && size <= 0) {
    Write("WideCharToMultiByte failed\r\n");
    ExitProcess(1);
  }
  WriteBytes(bytes, static_cast<DWORD>(size));
}

template <DWORD N>
[[noreturn]] void Fail(const char (&step)[N]) {
  DWORD error = GetLastError();
  Write(step);
  Write(" failed: ");
  WriteNumber(error);
  Write("\r\n");
  ExitProcess(1);
}

// The next blank-separated word of the command line (no quoting needed here); empty at the end.
LPWSTR NextWord(LPWSTR* position) {
  LPWSTR at = *position;
  while (*at == ' ' || *at == '\t') ++at;
  LPWSTR word = at;
  if (*at == '"') {
    word = ++at;
    while (*at && *at != '"') ++at;
  } else {
    while (*at && *at != ' ' && *at != '\t') ++at;
  }
  if (*at) *at++ = 0;
  *position = at;
  return word;
}

bool Same(LPCWSTR a, const char* b) {
  while (*a && *a == static_cast<WCHAR>(*b)) ++a, ++b;
  return *a == 0 && *b == 0;
}

DWORD Number(LPCWSTR text) {
  DWORD value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + static_cast<DWORD>(*text++ - '0');
  return value;
}

unsigned long long FileSize(LPCWSTR path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

unsigned long long NowMilliseconds(void) {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<unsigned long long>(counter.QuadPart) * 1000 /
         static_cast<unsigned long long>(frequency.QuadPart);
}

SC_HANDLE OpenTheService(LPCWSTR name, DWORD access) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) Fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(manager, name, access);
  if (!service) Fail("OpenServiceW");
  CloseServiceHandle(manager);
  return service;
}

void SendControl(SC_HANDLE service, DWORD control) {
  SERVICE_STATUS status;
  if (!ControlService(service, control, &status)) Fail("ControlService");
}

// Returns once the file is larger than `before`; exits after 10 s.
void WaitForGrowth(LPCWSTR file, unsigned long long before) {
  unsigned long long deadline = NowMilliseconds() + 10000;
  while (FileSize(file) == before) {
    if (NowMilliseconds() > deadline) {
      Write("the log did not grow within 10 s\r\n");
      ExitProcess(1);
    }
    Sleep(1);
  }
}

// Stops the service and prints the milliseconds until the manager shows it STOPPED; then
// waits, untimed, until its process has ended.
void StopAndTime(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS running;
  DWORD needed;
  HANDLE process = NULL;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&running),
                           sizeof running, &needed)) {
    process = OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId);
  }
  unsigned long long asked = NowMilliseconds();
  SendControl(service, SERVICE_CONTROL_STOP);
  SERVICE_STATUS status;
  do {
    if (!QueryServiceStatus(service, &status)) Fail("QueryServiceStatus");
    if (NowMilliseconds() - asked > 10000) {
      Write("not stopped within 10 s\r\n");
      ExitProcess(1);
    }
    if (status.dwCurrentState != SERVICE_STOPPED) Sleep(1);
  } while (status.dwCurrentState != SERVICE_STOPPED);
  WriteNumber(NowMilliseconds() - asked);
  Write("\r\n");
  if (process) {
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
}

void StartAndWait(LPCWSTR name, LPCWSTR eventName) {
  SC_HANDLE service = OpenTheService(name, SERVICE_START);
  if (!StartServiceW(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    Fail("StartServiceW");
  }
  unsigned long long deadline = NowMilliseconds() + 10000;
  HANDLE event;
  while (!(event = OpenEventW(SYNCHRONIZE, FALSE, eventName))) {
    if (NowMilliseconds() > deadline) Fail("OpenEventW");
    Sleep(1);
  }
  CloseHandle(event);
  CloseServiceHandle(service);
}

void StopAfterFlush(LPCWSTR name, LPCWSTR log) {
  SC_HANDLE service = OpenTheService(
      name, SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP | SERVICE_QUERY_STATUS);
  unsigned long long before = FileSize(log);
  SendControl(service, 128);
  WaitForGrowth(log, before);
  StopAndTime(service);
  CloseServiceHandle(service);
}

// A new mutex, or a new event with a null DACL, of that name; null while the name is another
// object's (Wine: error 6) or the event exists already.
HANDLE TakeName(LPCWSTR objectName, bool event) {
  if (!event) return CreateMutexW(NULL, TRUE, objectName);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  HANDLE object = CreateEventW(&attributes, FALSE, FALSE, objectName);
  if (object && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(object);
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  return object;
}

void StartHolding(LPCWSTR name, LPCWSTR objectName, LPCWSTR log, bool event) {
  // A service process that has just reported STOPPED may still hold the event of that
  // name for a moment; the name cannot be taken until it has gone.
  unsigned long long deadline = NowMilliseconds() + 10000;
  HANDLE mutex;
  while (!(mutex = TakeName(objectName, event))) {
    if (GetLastError() != ERROR_INVALID_HANDLE || NowMilliseconds() > deadline) {
      Fail(event ? "CreateEventW" : "CreateMutexW");
    }
    Sleep(10);
  }
  SC_HANDLE service = OpenTheService(name, SERVICE_START);
  unsigned long long before = FileSize(log);
  if (!StartServiceW(service, 0, NULL)) Fail("StartServiceW");
  WaitForGrowth(log, before);
  CloseServiceHandle(service);
  CloseHandle(mutex);
}

void PrintDescription(LPCWSTR name) {
  SC_HANDLE service = OpenTheService(name, SERVICE_QUERY_CONFIG);
  union {
    SERVICE_DESCRIPTIONW description;
    BYTE bytes[2048];
  } buffer;
  DWORD needed;
  if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.bytes, sizeof buffer,
                            &needed)) {
    Fail("QueryServiceConfig2W");
  }
  LPCWSTR text = buffer.description.lpDescription;
  if (text) WriteText(text, lstrlenW(text));
  CloseServiceHandle(service);
}

void Render(LPCWSTR module, DWORD id, LPCWSTR first, LPCWSTR second) {
  HMODULE image = LoadLibraryExW(module, NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (!image) Fail("LoadLibraryExW");
  DWORD_PTR inserts[2] = {reinterpret_cast<DWORD_PTR>(first), reinterpret_cast<DWORD_PTR>(second)};
  WCHAR text[1024];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                image, id, 0, text, 1024, reinterpret_cast<va_list*>(inserts));
  if (!length) Fail("FormatMessageW");
  WriteText(text, static_cast<int>(length));
  FreeLibrary(image);
}

}  // namespace

extern "C" void ServiceClientEntry(void) {
  LPWSTR position = GetCommandLineW();
  NextWord(&position);  // the program's own name
  LPWSTR command = NextWord(&position);
  LPWSTR name = NextWord(&position);
  LPWSTR argument = NextWord(&position);
  LPWSTR last = NextWord(&position);
  if (Same(command, "control") && *argument) {
    SC_HANDLE service = OpenTheService(name, SERVICE_USER_DEFINED_CONTROL);
    SendControl(service, Number(argument));
    CloseServiceHandle(service);
  } else if (Same(command, "stop-after-flush") && *argument) {
    StopAfterFlush(name, argument);
  } else if (Same(command, "stop") && *name) {
    SC_HANDLE service = OpenTheService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    StopAndTime(service);
    CloseServiceHandle(service);
  } else if (Same(command, "start") && *argument) {
    StartAndWait(name, argument);
  } else if ((Same(command, "start-holding") || Same(command, "start-squatting")) && *last) {
    StartHolding(name, argument, last, Same(command, "start-squatting"));
  } else if (Same(command, "description") && *name) {
    PrintDescription(name);
  } else if (Same(command, "render") && *last) {
    Render(name, Number(argument), last, NextWord(&position));
  } else {
    Write("usage: control <service> <code> | stop-after-flush <service> <log file> |\r\n"
          "  stop <service> | start <service> <event name> |\r\n"
          "  start-holding <service> <mutex name> <log file> |\r\n"
          "  start-squatting <service> <event name> <log file> |\r\n"
          "  description <service> | render <module> <id> <insert 1> [<insert 2>]\r\n");
    ExitProcess(2);
  }
  ExitProcess(0);
}
