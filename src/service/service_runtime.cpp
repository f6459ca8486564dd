// Placeholder until the service runtime lands: the service stops at once.
#include "service/service_runtime.h"

ServiceRuntimeRecord ServiceRuntime;

void WINAPI ServiceMain(DWORD, LPWSTR*) {}
void WINAPI ServiceControlHandler(DWORD) {}
