// The event log becomes the system log: each event is one syslog entry, its priority taken
// from the event's type (error LOG_ERR, warning LOG_WARNING, anything else LOG_INFO), its
// strings on one line, separated by " | ". There is no source to register: any name is
// accepted, and the handle stands for the system log.
#include <syslog.h>

#include "platform/linux/system_log.h"

namespace {

char systemLog;

}  // namespace

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR, LPCWSTR sourceName) {
  if (!sourceName || !*sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &systemLog;
}

extern "C" BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD, DWORD, PSID, WORD stringCount,
                                    DWORD, LPCWSTR* strings, LPVOID) {
  if (eventLog != &systemLog) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  char line[4096];
  int written = 0;
  for (WORD i = 0; i < stringCount && strings && written < static_cast<int>(sizeof line) - 1; ++i) {
    if (i) {
      for (const char* p = " | "; *p && written < static_cast<int>(sizeof line) - 1; ++p) line[written++] = *p;
    }
    OneLineUtf8(strings[i], line + written, static_cast<int>(sizeof line) - written);
    while (line[written]) ++written;
  }
  line[written] = 0;
  int priority = type == EVENTLOG_ERROR_TYPE ? LOG_ERR : type == EVENTLOG_WARNING_TYPE ? LOG_WARNING : LOG_INFO;
  WriteSystemLog(priority, "%s", line);
  return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
  if (eventLog != &systemLog) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
