#include "platform/common/message_table.h"

namespace {

struct MessageEntry {
  DWORD id;
  LPCWSTR text;
};

const MessageEntry Messages[] = {
    {0, TEXT("The operation finished without error.\r\n")},
    {1, TEXT("The function is not valid for this object.\r\n")},
    {2, TEXT("The file could not be found.\r\n")},
    {3, TEXT("The path could not be found.\r\n")},
    {4, TEXT("Too many files are open.\r\n")},
    {5, TEXT("Access is denied.\r\n")},
    {6, TEXT("The handle is not valid.\r\n")},
    {8, TEXT("There is not enough memory to process this command.\r\n")},
    {13, TEXT("The data is not valid.\r\n")},
    {14, TEXT("There is not enough memory to finish this operation.\r\n")},
    {18, TEXT("No more files were found.\r\n")},
    {19, TEXT("The medium is write protected.\r\n")},
    {21, TEXT("The device is not ready.\r\n")},
    {31, TEXT("A device attached to the system is not working.\r\n")},
    {32, TEXT("The file is in use by another process.\r\n")},
    {50, TEXT("The request is not supported.\r\n")},
    {87, TEXT("A parameter is not valid.\r\n")},
    {109, TEXT("The pipe has been closed.\r\n")},
    {112, TEXT("There is no space left on the disk.\r\n")},
    {120, TEXT("This function is not available on this system.\r\n")},
    {122, TEXT("The data area passed to a system call is too small.\r\n")},
    {123, TEXT("The file name, folder name or volume label syntax is not valid.\r\n")},
    {126, TEXT("The module could not be found.\r\n")},
    {183, TEXT("The file already exists.\r\n")},
    {234, TEXT("More data is available.\r\n")},
    {259, TEXT("There are no more items.\r\n")},
    {317, TEXT("No text was found for the message number.\r\n")},
    {1008, TEXT("An attempt was made to use a token that does not exist.\r\n")},
    {1052, TEXT("The control is not valid for this service.\r\n")},
    {1053, TEXT("The service did not answer the start or control request in time.\r\n")},
    {1054, TEXT("No thread could be created for the service.\r\n")},
    {1056, TEXT("The service is already running.\r\n")},
    {1058, TEXT("The service is disabled or has no enabled devices.\r\n")},
    {1060, TEXT("The service is not installed.\r\n")},
    {1061, TEXT("The service cannot take control messages now.\r\n")},
    {1062, TEXT("The service has not been started.\r\n")},
    {1063, TEXT("The service process could not connect to the service controller.\r\n")},
    {1072, TEXT("The service has been marked for deletion.\r\n")},
    {1073, TEXT("The service already exists.\r\n")},
    {1078, TEXT("The name is already used as a service name or display name.\r\n")},
    {1117, TEXT("A device input/output error stopped the request.\r\n")},
    {1168, TEXT("The element was not found.\r\n")},
    {1314, TEXT("The caller does not hold a privilege that is required.\r\n")},
    {1337, TEXT("The security ID structure is not valid.\r\n")},
    {1338, TEXT("The security descriptor structure is not valid.\r\n")},
};

}  // namespace

LPCWSTR SystemMessageText(DWORD id) {
  for (const MessageEntry& entry : Messages) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

DWORD CopyMessageText(LPCWSTR text, DWORD flags, LPWSTR buffer, DWORD size) {
  bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
  DWORD n = 0;
  for (DWORD i = 0; text[i]; ++i) {
    WCHAR ch = text[i];
    if (oneLine && ch == '\r' && text[i + 1] == '\n') {
      ch = ' ';
      ++i;
    }
    if (n + 1 >= size) return 0;
    buffer[n++] = ch;
  }
  if (size == 0) return 0;
  buffer[n] = 0;
  return n;
}
