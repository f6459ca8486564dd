// FormatMessageW over the common table of system message texts.
#include "platform/common/message_table.h"
#include "platform/linux/constants.h"

// Only the system's table exists here: no module carries a message table of its own. The
// texts are English; a language other than neutral or English has none. Inserts are never
// expanded (the table's texts hold none), so the call behaves as with
// FORMAT_MESSAGE_IGNORE_INSERTS either way.
extern "C" DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPWSTR buffer, DWORD size,
                                       va_list* arguments) {
  (void)source;
  (void)arguments;
  if ((flags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING)) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return 0;
    }
  } else if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD primaryLanguage = languageId & 0x3FF;
  if (primaryLanguage != LANG_NEUTRAL && primaryLanguage != 0x09) {  // 0x09: English
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  LPCWSTR text = SystemMessageText(messageId);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  DWORD written = CopyMessageText(text, flags, buffer, size);
  if (written == 0 && text[0]) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return written;
}
