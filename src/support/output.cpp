#include "support/output.h"

#include "support/event_log.h"
#include "support/format.h"
#include "support/runtime.h"

OutputHandleSet OutputHandles = {nullptr, nullptr, nullptr};
const WCHAR ErrorCaption[] = TEXT("Volume file buffers flusher service");

namespace {

// Redirected output goes out in the console's code page once start-up has turned this on.
bool useConsoleCodePage = false;

// The service process writes its errors to the event log. From Windows 6.0 on, services run
// in session 0, whose desktop nobody sees: a box shown there would never be dismissed and
// would hold the thread that shows it for ever, so the event log is all there is.
bool useEventLog = false;
#define SESSION_ZERO_VERSION 0x0600

const UINT ErrorBoxStyle = MB_OK | MB_ICONERROR | MB_SERVICE_NOTIFICATION;
// Older headers give MB_SERVICE_NOTIFICATION the NT 3.x value, which a service's box ignores.
static_assert(ErrorBoxStyle == 0x00200010, "message box style");

// The most bytes a line can become. UTF-8 needs three bytes for a UTF-16 unit, GB18030
// four, UTF-7 up to five, and the ISO 2022 pages up to eight for a lone character between
// its escape sequences; eight per unit covers every code page. A larger measurement is no
// real one and is refused rather than put on the stack.
const int ConvertedLineLimit = 8 * LINE_BUFFER_CAPACITY;

bool WriteConverted(HANDLE handle, LPCWSTR line, int length) {
  int size = WideCharToMultiByte(GetConsoleOutputCP(), 0, line, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0 || size > ConvertedLineLimit) return false;
  // A stack buffer of exactly the measured size: no output path takes heap memory.
  char* bytes = static_cast<char*>(__builtin_alloca(static_cast<size_t>(size)));
  int converted = WideCharToMultiByte(GetConsoleOutputCP(), 0, line, length, bytes, size, nullptr, nullptr);
  if (converted <= 0) return false;
  DWORD written = 0;
  return WriteFile(handle, bytes, static_cast<DWORD>(converted), &written, nullptr) != FALSE;
}

}  // namespace

bool WriteTextLine(HANDLE handle, LPCWSTR format, va_list arguments, bool lineEnd) {
  WCHAR line[LINE_BUFFER_CAPACITY];
  va_list copy;
  va_copy(copy, arguments);
  DWORD length = FormatTextV(line, lineEnd ? LINE_BUFFER_CAPACITY - 2 : LINE_BUFFER_CAPACITY, format, copy);
  va_end(copy);
  if (lineEnd) {
    line[length++] = '\r';
    line[length++] = '\n';
    line[length] = 0;
  }
  DWORD mode = 0;
  bool console = GetConsoleMode(handle, &mode) != FALSE;
  if (length == 0) return true;
  if (console) {
    DWORD written = 0;
    return WriteConsoleW(handle, line, length, &written, nullptr) != FALSE;
  }
  if (useConsoleCodePage) return WriteConverted(handle, line, static_cast<int>(length));
  DWORD written = 0;
  return WriteFile(handle, line, length * sizeof(WCHAR), &written, nullptr) != FALSE;
}

void ShowError(LPCWSTR format, ...) {
  DWORD saved = GetLastError();
  va_list arguments;
  va_start(arguments, format);
  if (OutputHandles.error) {
    WriteTextLine(OutputHandles.error, format, arguments, true);
  } else {
    WCHAR text[MESSAGE_BOX_CAPACITY];
    FormatTextV(text, MESSAGE_BOX_CAPACITY, format, arguments);
    if (useEventLog) LogServiceError(text);
    if (!useEventLog || RuntimeWindowsVersion() < SESSION_ZERO_VERSION) {
      MessageBoxW(nullptr, text, ErrorCaption, ErrorBoxStyle);
    }
  }
  va_end(arguments);
  SetLastError(saved);
}

void ShowNote(LPCWSTR format, ...) {
  DWORD saved = GetLastError();
  if (OutputHandles.output) {
    va_list arguments;
    va_start(arguments, format);
    WriteTextLine(OutputHandles.output, format, arguments, true);
    va_end(arguments);
  }
  SetLastError(saved);
}

bool FindOutputHandles(HANDLE* input, HANDLE* output, HANDLE* error) {
  STARTUPINFOW info = {};
  info.cb = sizeof(info);
  GetStartupInfoW(&info);
  HANDLE found[3];
  if (info.dwFlags & STARTF_USESTDHANDLES) {
    found[0] = info.hStdInput;
    found[1] = info.hStdOutput;
    found[2] = info.hStdError;
    for (HANDLE& handle : found) {
      if (handle == INVALID_HANDLE_VALUE) handle = nullptr;
    }
  } else {
    found[0] = GetStdHandle(STD_INPUT_HANDLE);
    found[1] = GetStdHandle(STD_OUTPUT_HANDLE);
    found[2] = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE handle : found) {
      if (handle == INVALID_HANDLE_VALUE) return false;
    }
  }
  if (input) *input = found[0];
  if (output) *output = found[1];
  if (error) *error = found[2];
  return true;
}

void UseConsoleOutputCodePage(bool on) { useConsoleCodePage = on; }

void UseEventLog(bool on) { useEventLog = on; }
