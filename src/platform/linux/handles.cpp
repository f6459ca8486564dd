#include "platform/linux/handles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/linux/process_lock.h"

namespace {

LinuxObject standardObjects[3] = {
    {LinuxFile, 0, nullptr, nullptr, true, nullptr},
    {LinuxFile, 1, nullptr, nullptr, true, nullptr},
    {LinuxFile, 2, nullptr, nullptr, true, nullptr},
};

// Every object made by LinuxNewHandle and not yet closed. Both service-mode threads open
// and close handles, so the registry has a lock.
ProcessLock registryLock = PROCESS_LOCK_INITIALIZER;
LinuxObject* liveObjects = nullptr;

bool IsStandardObject(const LinuxObject* object) {
  return object >= &standardObjects[0] && object <= &standardObjects[2];
}

// Is `object` registered? Called with the lock held.
bool IsLiveLocked(const LinuxObject* object) {
  for (LinuxObject* o = liveObjects; o; o = o->nextLive) {
    if (o == object) return true;
  }
  return false;
}

bool IsLive(const LinuxObject* object) {
  if (IsStandardObject(object)) return true;
  TakeLock(&registryLock);
  bool live = IsLiveLocked(object);
  ReleaseLock(&registryLock);
  return live;
}

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
  TakeLock(&registryLock);
  object->nextLive = liveObjects;
  liveObjects = object;
  ReleaseLock(&registryLock);
  return object;
}

LinuxObject* LinuxObjectOf(HANDLE handle, int kind) {
  LinuxObject* object = static_cast<LinuxObject*>(handle);
  if (!handle || handle == INVALID_HANDLE_VALUE || handle == LINUX_CURRENT_THREAD ||
      !IsLive(object) || object->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

int LinuxKindOf(HANDLE handle) {
  LinuxObject* object = static_cast<LinuxObject*>(handle);
  if (!handle || handle == INVALID_HANDLE_VALUE || handle == LINUX_CURRENT_THREAD ||
      !IsLive(object)) {
    return 0;
  }
  return object->kind;
}

HANDLE LinuxStandardHandle(int fd) {
  if (fd < 0 || fd > 2) return nullptr;
  if (fcntl(fd, F_GETFD) == -1) return nullptr;  // a closed descriptor is no handle
  return &standardObjects[fd];
}

bool LinuxCloseObject(HANDLE handle) {
  LinuxObject* object = static_cast<LinuxObject*>(handle);
  if (!handle || handle == INVALID_HANDLE_VALUE || handle == LINUX_CURRENT_THREAD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (IsStandardObject(object)) return true;
  // Take it out of the registry first, so that a second close of the same handle fails.
  TakeLock(&registryLock);
  LinuxObject** link = &liveObjects;
  while (*link && *link != object) link = &(*link)->nextLive;
  bool found = *link != nullptr;
  if (found) *link = object->nextLive;
  ReleaseLock(&registryLock);
  if (!found) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (object->release) {
    object->release(object);
  } else if (object->fd >= 0) {
    close(object->fd);
  }
  object->kind = 0;
  free(object);
  return true;
}

int LinuxLiveObjectCount(void) {
  TakeLock(&registryLock);
  int count = 0;
  for (LinuxObject* o = liveObjects; o; o = o->nextLive) ++count;
  ReleaseLock(&registryLock);
  return count;
}
