// Message output: errors to standard error (or a message box, or the service's event log),
// notes to standard output.
#pragma once

#include "platform/win32.h"

struct OutputHandleSet {
  HANDLE input;
  HANDLE output;
  HANDLE error;
};

extern OutputHandleSet OutputHandles;

#define LINE_BUFFER_CAPACITY 1024
#define MESSAGE_BOX_CAPACITY 512
extern const WCHAR ErrorCaption[];

void ShowError(LPCWSTR format, ...);
void ShowNote(LPCWSTR format, ...);
bool WriteTextLine(HANDLE handle, LPCWSTR format, va_list arguments, bool lineEnd);
bool FindOutputHandles(HANDLE* input, HANDLE* output, HANDLE* error);
void UseConsoleOutputCodePage(bool on);
// For the service process: errors without an error handle go to the event log, and on
// Windows before 6.0 to a message box as well.
void UseEventLog(bool on);
