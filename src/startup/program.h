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
// The process token, opened for queries; null after a message when it cannot be opened.
HANDLE OpenTokenForQuery(void);
// One class of the token's information into `buffer`, of *size bytes; *size becomes the
// length the system gave or asked for. False after a message when it cannot be read.
bool ReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD* size);
int NotifyService(bool verbose);
