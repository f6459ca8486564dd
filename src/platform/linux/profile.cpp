// GetPrivateProfileStringW and GetPrivateProfileIntW over a real file: the whole file is read
// and decoded, then the shared reader answers. A file without a byte-order mark is read in
// the ANSI code page, which is UTF-8 here, as everywhere in this backend.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/common/profile.h"
#include "platform/common/utf8.h"
#include "platform/linux/handles.h"

namespace {

// The largest file that is read: a bigger one is refused with ERROR_NOT_ENOUGH_MEMORY rather
// than held in memory three times over (its bytes and their UTF-16 text).
const off_t LargestProfileFile = 1 << 30;

// Reads at most `size` bytes (what the file held when it was opened); returns the count, or
// -1 with errno set.
ssize_t ReadUpTo(int fd, unsigned char* bytes, size_t size) {
  size_t count = 0;
  while (count < size) {
    ssize_t got = read(fd, bytes + count, size - count);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    count += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(count);
}

// The decoded text of the whole file in a block of its own (freed with `free`), or null with
// the last error set when the file cannot be read.
WCHAR* ReadProfileFile(LPCWSTR fileName, DWORD* length) {
  *length = 0;
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int nameLength = 0;
  while (fileName[nameLength]) ++nameLength;
  char path[4 * MAX_PATH];
  int n = Utf8FromUtf16(fileName, nameLength, path, sizeof path - 1);
  if (n <= 0 && nameLength > 0) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  path[n] = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    int error = errno;
    close(fd);
    SetLastErrorFromErrno(error);
    return nullptr;
  }
  if (status.st_size > LargestProfileFile) {
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  size_t size = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  unsigned char* bytes = static_cast<unsigned char*>(malloc(size ? size : 1));
  WCHAR* text = static_cast<WCHAR*>(malloc((size ? size : 1) * sizeof(WCHAR)));
  ssize_t count = bytes && text ? ReadUpTo(fd, bytes, size) : -1;
  int error = bytes && text ? errno : ENOMEM;
  close(fd);
  if (count < 0) {
    free(bytes);
    free(text);
    SetLastErrorFromErrno(error);
    return nullptr;
  }
  *length = ProfileDecode(bytes, static_cast<DWORD>(count), CP_UTF8, text,
                          static_cast<DWORD>(size));
  free(bytes);
  return text;
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName,
                                                 LPCWSTR defaultText, LPWSTR returned,
                                                 DWORD size, LPCWSTR fileName) {
  DWORD length;
  WCHAR* text = ReadProfileFile(fileName, &length);
  DWORD error = text ? 0 : GetLastError();
  DWORD n = ProfileReadString(text, length, appName, keyName, defaultText, returned, size);
  free(text);
  SetLastError(error);
  return n;
}

extern "C" UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, int defaultValue,
                                             LPCWSTR fileName) {
  DWORD length;
  WCHAR* text = ReadProfileFile(fileName, &length);
  UINT result = ProfileReadInt(text, length, appName, keyName, defaultValue);
  free(text);
  return result;
}
