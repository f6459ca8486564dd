// Registering and removing the service with the service control manager.
#pragma once

#include "platform/win32.h"

extern const WCHAR ServiceName[];
extern const WCHAR ServiceDisplayName[];

int InstallService(void);
int RemoveService(void);
