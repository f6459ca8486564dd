// Events within the process: a mutex, a condition variable and the signalled state. Named
// events are known only inside this process (no other process on Linux creates Windows
// events), so opening a name that this process did not create fails with
// ERROR_FILE_NOT_FOUND, which is what the -f client reads as "the service is not running".
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "platform/linux/constants.h"
#include "platform/linux/events.h"

namespace {

struct EventData {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  bool signalled;
  bool manualReset;
  int references;    // handles that refer to it; guarded by namesLock
  WCHAR* name;       // null for an unnamed event
  EventData* nextNamed;
};

// The named events of the process and every event's reference count.
pthread_mutex_t namesLock = PTHREAD_MUTEX_INITIALIZER;
EventData* namedEvents = nullptr;

bool SameName(LPCWSTR a, LPCWSTR b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

EventData* FindNamedLocked(LPCWSTR name) {
  for (EventData* event = namedEvents; event; event = event->nextNamed) {
    if (SameName(event->name, name)) return event;
  }
  return nullptr;
}

void DestroyEvent(EventData* event) {
  pthread_cond_destroy(&event->changed);
  pthread_mutex_destroy(&event->mutex);
  free(event->name);
  free(event);
}

// A handle's release: the event goes away with its last handle, and its name with it.
void ReleaseEvent(LinuxObject* object) {
  EventData* event = static_cast<EventData*>(object->data);
  pthread_mutex_lock(&namesLock);
  bool last = --event->references == 0;
  if (last && event->name) {
    EventData** link = &namedEvents;
    while (*link != event) link = &(*link)->nextNamed;
    *link = event->nextNamed;
  }
  pthread_mutex_unlock(&namesLock);
  if (last) DestroyEvent(event);
}

EventData* NewEvent(BOOL manualReset, BOOL initialState, LPCWSTR name) {
  EventData* event = static_cast<EventData*>(calloc(1, sizeof(EventData)));
  if (!event) return nullptr;
  if (name) {
    size_t length = 0;
    while (name[length]) ++length;
    event->name = static_cast<WCHAR*>(malloc((length + 1) * sizeof(WCHAR)));
    if (!event->name) {
      free(event);
      return nullptr;
    }
    for (size_t i = 0; i <= length; ++i) event->name[i] = name[i];
  }
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&event->changed, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&event->mutex, nullptr);
  event->signalled = initialState != FALSE;
  event->manualReset = manualReset != FALSE;
  return event;
}

bool NameTooLong(LPCWSTR name) {
  size_t length = 0;
  while (name[length]) {
    if (++length >= MAX_PATH) return true;
  }
  return false;
}

// A new handle for an event that already has one (under namesLock).
HANDLE AddHandleLocked(EventData* event) {
  HANDLE handle = LinuxNewHandle(LinuxEvent, -1, event, ReleaseEvent);
  if (handle) ++event->references;
  return handle;
}

}  // namespace

// The security attributes are accepted and not used: nobody outside the process can reach
// the event anyway. A name that exists already gives a new handle to the same event with
// ERROR_ALREADY_EXISTS, and the reset mode and initial state of the call are ignored.
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                                      LPCWSTR name) {
  if (name && !name[0]) name = nullptr;  // an empty name is no name
  if (name && NameTooLong(name)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  pthread_mutex_lock(&namesLock);
  EventData* existing = name ? FindNamedLocked(name) : nullptr;
  if (existing) {
    HANDLE handle = AddHandleLocked(existing);
    pthread_mutex_unlock(&namesLock);
    if (handle) SetLastError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  EventData* event = NewEvent(manualReset, initialState, name);
  if (!event) {
    pthread_mutex_unlock(&namesLock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = AddHandleLocked(event);
  if (!handle) {
    pthread_mutex_unlock(&namesLock);
    DestroyEvent(event);
    return nullptr;
  }
  if (name) {
    event->nextNamed = namedEvents;
    namedEvents = event;
  }
  pthread_mutex_unlock(&namesLock);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

extern "C" HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  pthread_mutex_lock(&namesLock);
  EventData* event = FindNamedLocked(name);
  HANDLE handle = event ? AddHandleLocked(event) : nullptr;
  pthread_mutex_unlock(&namesLock);
  if (!event) SetLastError(ERROR_FILE_NOT_FOUND);
  return handle;
}

extern "C" BOOL WINAPI SetEvent(HANDLE handle) {
  LinuxObject* object = LinuxObjectOf(handle, LinuxEvent);
  if (!object) return FALSE;
  EventData* event = static_cast<EventData*>(object->data);
  pthread_mutex_lock(&event->mutex);
  event->signalled = true;
  // An auto-reset event releases one waiter, a manual-reset event all of them.
  if (event->manualReset) {
    pthread_cond_broadcast(&event->changed);
  } else {
    pthread_cond_signal(&event->changed);
  }
  pthread_mutex_unlock(&event->mutex);
  return TRUE;
}

// Events are the only objects that can be waited for here.
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  LinuxObject* object = LinuxObjectOf(handle, LinuxEvent);
  if (!object) return WAIT_FAILED;
  EventData* event = static_cast<EventData*>(object->data);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  DWORD result = WAIT_OBJECT_0;
  pthread_mutex_lock(&event->mutex);
  while (!event->signalled) {
    if (milliseconds == 0) {
      result = WAIT_TIMEOUT;
      break;
    }
    if (milliseconds == INFINITE) {
      pthread_cond_wait(&event->changed, &event->mutex);
    } else if (pthread_cond_timedwait(&event->changed, &event->mutex, &deadline) == ETIMEDOUT) {
      if (!event->signalled) result = WAIT_TIMEOUT;
      break;
    }
  }
  if (result == WAIT_OBJECT_0 && !event->manualReset) event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return result;
}

HANDLE DuplicateEventHandle(LinuxObject* object) {
  EventData* event = static_cast<EventData*>(object->data);
  pthread_mutex_lock(&namesLock);
  HANDLE handle = AddHandleLocked(event);
  pthread_mutex_unlock(&namesLock);
  return handle;
}
