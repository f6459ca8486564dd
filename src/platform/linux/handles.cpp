#include "platform/linux/handles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

LinuxObject standardObjects[3] = {
    {LinuxFile, 0, nullptr, nullptr, true},
    {LinuxFile, 1, nullptr, nullptr, true},
    {LinuxFile, 2, nullptr, nullptr, true},
};

}  // namespace

HANDLE LinuxNewHandle(int kind, int fd, void* data, void (*release)(LinuxObject*)) {
  LinuxObject* object = static_cast<LinuxObject*>(calloc(1, sizeof(LinuxObject)));
  if (!object) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->kind = kind;
  object->fd = fd;
  object->data = data;
  object->release = release;
  object->standard = false;
  return object;
}

LinuxObject* LinuxObjectOf(HANDLE handle, int kind) {
  if (!handle || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  LinuxObject* object = static_cast<LinuxObject*>(handle);
  if (object->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

HANDLE LinuxStandardHandle(int fd) {
  if (fd < 0 || fd > 2) return nullptr;
  if (fcntl(fd, F_GETFD) == -1) return nullptr;  // a closed descriptor is no handle
  return &standardObjects[fd];
}

bool LinuxCloseObject(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  LinuxObject* object = static_cast<LinuxObject*>(handle);
  if (object->standard) return true;
  if (object->release) {
    object->release(object);
  } else if (object->fd >= 0) {
    close(object->fd);
  }
  object->kind = 0;
  free(object);
  return true;
}

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case EPERM:
    case EACCES: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM: return ERROR_NOT_READY;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
  }
}

void SetLastErrorFromErrno(int error) { SetLastError(Win32ErrorFromErrno(error)); }
