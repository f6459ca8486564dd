// The settings file beside the executable, read once when the service starts.
#pragma once

#include "platform/win32.h"

struct ServiceSettingsRecord {
  DWORD intervalSeconds;
  LONG threadPriority;
};

extern ServiceSettingsRecord ServiceSettings;

#define SIGNATURE_CAPACITY 20
#define SETTINGS_REASON_CAPACITY 1022  // as much as a line of output holds

// Where the settings in force came from, for the event that reports them.
struct SettingsOriginRecord {
  int result;                               // what LoadSettings returned
  LPCWSTR priorityWord;                     // the settings file's word for the priority
  WCHAR path[MAX_PATH];                     // the settings file; empty for result 7
  WCHAR reason[SETTINGS_REASON_CAPACITY];  // why the file was rejected, as shown; else empty
};

extern SettingsOriginRecord SettingsOrigin;

int LoadSettings(void);
// Writes the information event that says which settings are in force and why.
void ReportSettingsInForce(void);
