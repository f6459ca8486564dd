// Entries in the system log for what a Windows program shows in a box or writes to the event
// log: one line each, in UTF-8, under the ident "sorvanel".
#include "platform/linux/system_log.h"

#include <stdarg.h>
#include <syslog.h>

#include "platform/common/utf8.h"

void OneLineUtf8(LPCWSTR text, char* out, int capacity) {
  int written = 0;
  for (int i = 0; text && text[i] && written < capacity - 1;) {
    WCHAR unit[2] = {text[i], 0};
    int units = 1;
    if (unit[0] >= 0xD800 && unit[0] <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      unit[1] = text[i + 1];
      units = 2;
    }
    if (unit[0] == u'\r' || unit[0] == u'\n') {
      // A CR LF pair gives one space.
      if (unit[0] == u'\r' && text[i + 1] == u'\n') ++i;
      unit[0] = u' ';
    }
    char bytes[4];
    int count = Utf8FromUtf16(unit, units, bytes, sizeof bytes);
    if (written + count > capacity - 1) break;
    for (int k = 0; k < count; ++k) out[written++] = bytes[k];
    i += units;
  }
  out[written] = 0;
}

void WriteSystemLog(int priority, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  openlog("sorvanel", LOG_PID, LOG_USER);
  vsyslog(priority, format, arguments);
  closelog();
  va_end(arguments);
}
