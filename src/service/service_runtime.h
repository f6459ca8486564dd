// The service's life: status reports, the control handler and the flush loop.
#pragma once

#include "platform/win32.h"

// The user-defined service control that asks for a flush, as `-f` does through the event:
// `sc control Tamberlocke_Sorvanel 128`.
#define FLUSH_REQUEST_CONTROL 128

struct ServiceRuntimeRecord {
  SERVICE_STATUS status;
  SERVICE_STATUS_HANDLE statusHandle;
  bool stopRequested;   // read and written only with atomic operations
  bool flushRequested;  // set by FLUSH_REQUEST_CONTROL, taken by the loop; atomic as well
  HANDLE flushThread;   // read and written only with atomic operations
};

extern ServiceRuntimeRecord ServiceRuntime;

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);
