// The system log, where a Linux program's message boxes and events go.
#pragma once

#include "platform/win32.h"

// The text in UTF-8 on one line (line breaks become spaces), cut to fit the buffer.
void OneLineUtf8(LPCWSTR text, char* out, int capacity);
// One entry with a syslog priority, ident "sorvanel".
void WriteSystemLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
