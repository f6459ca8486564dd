// The service control manager: Linux has none that could start or control this program,
// so every call fails the way it fails for a Windows program that no manager serves.
// Opening and using the manager gives ERROR_CALL_NOT_IMPLEMENTED; the calls that only a
// process started by the manager may make give ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
#include "platform/win32.h"

namespace {

SC_HANDLE NoManager() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

BOOL NoManagerCall() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

}  // namespace

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) { return NoManager(); }

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD,
                                           LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
  return NoManager();
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE, LPCWSTR, DWORD) { return NoManager(); }

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE, DWORD, LPCWSTR*) { return NoManagerCall(); }

extern "C" BOOL WINAPI ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return NoManagerCall(); }

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return NoManagerCall(); }

extern "C" BOOL WINAPI DeleteService(SC_HANDLE) { return NoManagerCall(); }

extern "C" BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE, DWORD, LPVOID) { return NoManagerCall(); }

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE) { return NoManagerCall(); }

extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW*) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return FALSE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR, LPHANDLER_FUNCTION) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return nullptr;
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return FALSE;
}
