// The registry: Linux has none. Every call fails with ERROR_CALL_NOT_IMPLEMENTED, which the
// registry functions return rather than set. Only -i and -r write to it, and they stop
// earlier, since there is no service control manager either.
#include "platform/win32.h"

extern "C" LONG WINAPI RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                       LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD) {
  if (result) *result = nullptr;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

extern "C" LONG WINAPI RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

extern "C" LONG WINAPI RegCloseKey(HKEY) { return ERROR_CALL_NOT_IMPLEMENTED; }

extern "C" LONG WINAPI RegDeleteKeyW(HKEY, LPCWSTR) { return ERROR_CALL_NOT_IMPLEMENTED; }
