// The process: its end, its pseudo handle, its module and the version it reports.
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/common/utf8.h"
#include "platform/linux/constants.h"
#include "platform/linux/handles.h"

namespace {

// The value that stands for the program's own module; only its address matters.
const char programModule = 0;

HMODULE ProgramModule() { return const_cast<char*>(&programModule); }

}  // namespace

// Output is written straight to the descriptors, so there is nothing to flush. Linux keeps
// the low 8 bits of the code: 999 reaches the shell as 231.
extern "C" void WINAPI ExitProcess(UINT exitCode) { exit(static_cast<int>(exitCode)); }

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return LINUX_CURRENT_PROCESS; }

extern "C" BOOL WINAPI CloseHandle(HANDLE object) {
  // Closing a pseudo handle succeeds and does nothing, as on Windows.
  if (object == LINUX_CURRENT_PROCESS || object == LINUX_CURRENT_THREAD) return TRUE;
  return LinuxCloseObject(object) ? TRUE : FALSE;
}

// Only the program's own module exists: no name finds a loaded library, and nothing is ever
// loaded.
extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  if (!moduleName) return ProgramModule();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// The path of /proc/self/exe in UTF-16. A path that does not fit is cut to size - 1
// characters and terminated, and the result is `size` with ERROR_INSUFFICIENT_BUFFER, as
// Windows Vista and later do.
extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (module && module != ProgramModule()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[4096];
  ssize_t bytes = readlink("/proc/self/exe", path, sizeof path);
  if (bytes < 0) {
    SetLastErrorFromErrno(errno);
    return 0;
  }
  if (bytes >= static_cast<ssize_t>(sizeof path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  int length = Utf16FromUtf8(path, static_cast<int>(bytes), nullptr, 0);
  WCHAR wide[4096];  // UTF-8 never has fewer bytes than UTF-16 units
  Utf16FromUtf8(path, static_cast<int>(bytes), wide, length);
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  DWORD copied = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
  for (DWORD i = 0; i < copied; ++i) fileName[i] = wide[i];
  fileName[copied] = 0;
  if (copied < static_cast<DWORD>(length)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return copied;
}

// Windows 10.0: the version that the program's start-up check expects of a current system.
// The kernel's own version (uname) is not a Windows version and would mislead that check.
extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW) &&
                info->dwOSVersionInfoSize != offsetof(OSVERSIONINFOEXW, wServicePackMajor))) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  DWORD size = info->dwOSVersionInfoSize;
  info->dwMajorVersion = 10;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 0;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = 0;
  if (size == sizeof(OSVERSIONINFOEXW)) {
    info->wServicePackMajor = 0;
    info->wServicePackMinor = 0;
    info->wSuiteMask = 0;
    info->wProductType = VER_NT_WORKSTATION;
    info->wReserved = 0;
  }
  return TRUE;
}

// The counter that a caller would read runs on CLOCK_MONOTONIC, in nanoseconds.
extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  frequency->QuadPart = 1000000000;
  return TRUE;
}

// Linux shows no boxes for a drive without a disk: the mode is kept only to be given back,
// as Windows gives back the one before.
extern "C" UINT WINAPI SetErrorMode(UINT mode) {
  static UINT current = 0;
  return __atomic_exchange_n(&current, mode, __ATOMIC_SEQ_CST);
}
