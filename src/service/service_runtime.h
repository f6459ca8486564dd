// The service's life: status reports, the control handler and the flush loop.
#pragma once

#include "platform/win32.h"

struct ServiceRuntimeRecord {
  SERVICE_STATUS status;
  SERVICE_STATUS_HANDLE statusHandle;
  bool stopRequested;  // read and written only with atomic operations
  HANDLE flushThread;
};

extern ServiceRuntimeRecord ServiceRuntime;

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);
