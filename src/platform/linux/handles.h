// Handles of the Linux backend: every HANDLE points to a LinuxObject, whose kind says what
// it stands for. The three standard handles are fixed objects over descriptors 0 to 2.
// Live objects are registered, so a closed or made-up handle is refused rather than used.
#pragma once

#include "platform/win32.h"

enum LinuxObjectKind {
  LinuxFile = 1,      // an open descriptor (standard streams, files, volumes)
  LinuxToken,
  LinuxEvent,
  LinuxVolumeSearch,
  LinuxServiceManager,
  LinuxService,
  LinuxThread,
};

struct LinuxObject {
  int kind;
  int fd;                               // -1 when the object has no descriptor
  void* data;                           // owned by the object's kind
  void (*release)(struct LinuxObject*); // frees data and closes fd; null: default release
  bool standard;                        // a standard handle: never closed or freed
  LinuxObject* nextLive;                // the registry of live objects
};

// The pseudo handles of the current process and thread, as Windows defines them.
#define LINUX_CURRENT_PROCESS ((HANDLE)(intptr_t)-1)
#define LINUX_CURRENT_THREAD ((HANDLE)(intptr_t)-2)

// Makes a handle for a new object; null when no memory is left (last error set).
HANDLE LinuxNewHandle(int kind, int fd, void* data, void (*release)(LinuxObject*));
// The object behind a handle of the given kind, or null (last error ERROR_INVALID_HANDLE).
LinuxObject* LinuxObjectOf(HANDLE handle, int kind);
// The kind of a live object, or 0 for anything that is not one (no last error set).
int LinuxKindOf(HANDLE handle);
// The standard handle of descriptor 0, 1 or 2; null when that descriptor is closed.
HANDLE LinuxStandardHandle(int fd);
// Releases the object of any kind; false for a handle that is not a live object.
bool LinuxCloseObject(HANDLE handle);
// How many objects are open (standard handles not counted), for the tests.
int LinuxLiveObjectCount(void);

// errno values as the Win32 error codes a Windows user would see.
DWORD Win32ErrorFromErrno(int error);
void SetLastErrorFromErrno(int error);
