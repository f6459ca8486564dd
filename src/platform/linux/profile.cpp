// GetPrivateProfileStringW and GetPrivateProfileIntW over a real file: its first bytes are
// read and decoded, then the shared reader answers.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/common/profile.h"
#include "platform/common/utf8.h"
#include "platform/linux/handles.h"

namespace {

// The decoded text of the file, or false (last error set) when it cannot be read.
bool ReadProfileFile(LPCWSTR fileName, WCHAR* text, DWORD* length) {
  *length = 0;
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int nameLength = 0;
  while (fileName[nameLength]) ++nameLength;
  char path[4 * MAX_PATH];
  int n = Utf8FromUtf16(fileName, nameLength, path, sizeof path - 1);
  if (n <= 0 && nameLength > 0) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  path[n] = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  unsigned char bytes[PROFILE_FILE_LIMIT];
  DWORD count = 0;
  while (count < sizeof bytes) {
    ssize_t got = read(fd, bytes + count, sizeof bytes - count);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      SetLastErrorFromErrno(error);
      return false;
    }
    if (got == 0) break;
    count += static_cast<DWORD>(got);
  }
  close(fd);
  *length = ProfileDecode(bytes, count, text, PROFILE_FILE_LIMIT);
  return true;
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName,
                                                 LPCWSTR defaultText, LPWSTR returned,
                                                 DWORD size, LPCWSTR fileName) {
  WCHAR text[PROFILE_FILE_LIMIT];
  DWORD length;
  bool readable = ReadProfileFile(fileName, text, &length);
  DWORD error = readable ? 0 : GetLastError();
  DWORD n = ProfileReadString(readable ? text : nullptr, length, appName, keyName, defaultText,
                              returned, size);
  SetLastError(error);
  return n;
}

extern "C" UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, int defaultValue,
                                             LPCWSTR fileName) {
  WCHAR text[PROFILE_FILE_LIMIT];
  DWORD length;
  bool readable = ReadProfileFile(fileName, text, &length);
  return ProfileReadInt(readable ? text : nullptr, length, appName, keyName, defaultValue);
}
