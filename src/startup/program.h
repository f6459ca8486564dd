// Process entry, start-up and the command line.
#pragma once

#include "platform/win32.h"

#define ARGUMENT_CAPACITY 256
#define NAME_SEARCH_LIMIT 1024

extern const WCHAR FlushRequestEventName[];
// The executable's full path, stored once at start-up.
extern WCHAR ModulePath[MAX_PATH];

extern "C" void ProgramEntry(void);
LPCWSTR SkipProgramName(LPCWSTR commandLine);
int ProgramMain(LPCWSTR arguments);
int RunCommandLine(LPCWSTR arguments);
bool IsInteractiveLogon(bool* interactive);
int NotifyService(bool verbose);
