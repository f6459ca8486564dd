// Files of the Linux backend: CreateFileW opens an existing file, or a whole volume by its
// device name, and FlushFileBuffers writes out a file (fsync) or a volume's file system
// (syncfs).
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/common/utf8.h"
#include "platform/linux/volumes.h"

namespace {

// Marks a file opened without write access: Windows refuses to flush through such a handle.
char readOnlyMarker;

}  // namespace

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD,
                                     LPSECURITY_ATTRIBUTES, DWORD creationDisposition, DWORD,
                                     HANDLE) {
  if (!fileName || !fileName[0]) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only opening what exists is offered here
    return INVALID_HANDLE_VALUE;
  }
  if (IsVolumeDeviceName(fileName)) return OpenVolumeDevice(fileName);

  int length = 0;
  while (fileName[length]) ++length;
  int bytes = Utf8FromUtf16(fileName, length, nullptr, 0);
  char* path = static_cast<char*>(malloc(static_cast<size_t>(bytes) + 1));
  if (!path) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  Utf8FromUtf16(fileName, length, path, bytes);
  path[bytes] = 0;
  bool reading = (desiredAccess & GENERIC_READ) != 0;
  bool writing = (desiredAccess & GENERIC_WRITE) != 0;
  int flags = writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
  int fd = open(path, flags | O_CLOEXEC | O_NOCTTY);
  int error = errno;
  free(path);
  if (fd < 0) {
    SetLastErrorFromErrno(error);
    return INVALID_HANDLE_VALUE;
  }
  // Windows opens a directory only when asked for backup semantics.
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = LinuxNewHandle(LinuxFile, fd, writing ? nullptr : &readOnlyMarker, nullptr);
  if (!handle) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file) {
  LinuxObject* object = LinuxObjectOf(file, LinuxFile);
  if (!object) return FALSE;
  int result;
  if (IsVolumeObject(object)) {
    result = syncfs(object->fd);
  } else if (object->data == &readOnlyMarker) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  } else {
    result = fsync(object->fd);
  }
  if (result != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}
