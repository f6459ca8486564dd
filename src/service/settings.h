// The settings file beside the executable, read once when the service starts.
#pragma once

#include "platform/win32.h"

struct ServiceSettingsRecord {
  DWORD intervalSeconds;
  LONG threadPriority;
};

extern ServiceSettingsRecord ServiceSettings;

int LoadSettings(void);
