// Named events of the simulated machine: manual or automatic reset, the DACL they were
// created with, and the access check that OpenEventW makes against it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "sim/sim_events.h"
#include "sim/sim_internal.h"
#include "sim/sim_service.h"
#include "sim/sim_time.h"

namespace {

struct Event {
  std::u16string name;
  bool manualReset = false;
  bool signalled = false;
  bool waitedOn = false;  // a thread waits on it just now
  bool released = false;  // ... and a signal released it
  std::string owner;
  int handles = 0;
  bool securityGiven = false;
  bool daclPresent = false;
  bool nullDacl = false;
  std::vector<SimAce> dacl;
};

struct EventHandle {
  Event* event;
  DWORD access;
};

struct EventState {
  std::vector<std::unique_ptr<Event>> events;  // live events, named or not
  std::vector<std::unique_ptr<EventHandle>> handles;
  bool administrator = false;
  std::function<void()> whileWaiting;
};

EventState* state = nullptr;

void ResetEvents() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new EventState();
}

SimResetRegistration registration(ResetEvents);

// Object names are compared with case, as the kernel compares them: "global\\x" is another
// event than "Global\\x".
Event* FindNamed(const std::u16string& name) {
  for (auto& event : state->events) {
    if (!event->name.empty() && event->name == name) return event.get();
  }
  return nullptr;
}

void DropEvent(Event* event) {
  for (auto it = state->events.begin(); it != state->events.end(); ++it) {
    if (it->get() == event) {
      state->events.erase(it);
      return;
    }
  }
}

void CloseEventHandle(void* payload) {
  EventHandle* handle = static_cast<EventHandle*>(payload);
  if (--handle->event->handles == 0) DropEvent(handle->event);
  for (auto it = state->handles.begin(); it != state->handles.end(); ++it) {
    if (it->get() == handle) {
      state->handles.erase(it);
      return;
    }
  }
}

HANDLE NewHandle(Event* event, DWORD access) {
  state->handles.push_back(std::unique_ptr<EventHandle>(new EventHandle{event, access}));
  ++event->handles;
  std::string description = "event " + SimUtf8(event->name);
  return SimCreateHandle(SimHandleKind::Event, state->handles.back().get(), CloseEventHandle,
                         true, description.c_str());
}

// The access an existing event grants the caller: all without a DACL or with a null one,
// otherwise the union of the allowed entries for the caller's groups: a client's, or, for
// the service (`system`), LocalSystem's, which holds SYSTEM and Administrators.
DWORD GrantedAccess(const Event& event, bool system = false) {
  if (!event.securityGiven || !event.daclPresent || event.nullDacl) return EVENT_ALL_ACCESS;
  DWORD granted = 0;
  for (const SimAce& ace : event.dacl) {
    bool held = ace.sid == "S-1-1-0" ||
                (system ? ace.sid == "S-1-5-18"
                        : ace.sid == "S-1-5-32-545" || ace.sid == "S-1-5-4") ||
                ((system || state->administrator) && ace.sid == "S-1-5-32-544");
    if (held && ace.type == ACCESS_ALLOWED_ACE_TYPE) granted |= ace.mask;
  }
  return granted;
}

// A signal: released to a thread that waits on an auto-reset event, else kept.
void Signal(Event* event) {
  if (event->waitedOn && !event->manualReset) {
    event->released = true;
  } else {
    event->signalled = true;
  }
}

}  // namespace

SimEventInfo SimEvent(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  SimEventInfo info;
  Event* event = FindNamed(name);
  if (!event) return info;
  info.exists = true;
  info.manualReset = event->manualReset;
  info.signalled = event->signalled;
  info.securityGiven = event->securityGiven;
  info.daclPresent = event->daclPresent;
  info.nullDacl = event->nullDacl;
  info.dacl = event->dacl;
  return info;
}

bool SimSignalEvent(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Event* event = FindNamed(name);
  if (!event || (GrantedAccess(*event) & EVENT_MODIFY_STATE) == 0) return false;
  Signal(event);
  return true;
}

bool SimResetEvent(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Event* event = FindNamed(name);
  if (!event || (GrantedAccess(*event) & EVENT_MODIFY_STATE) == 0) return false;
  event->signalled = false;
  return true;
}

void SimWhileWaiting(std::function<void()> action) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->whileWaiting = action;
}

void SimCloseForeignEvent(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Event* event = FindNamed(name);
  if (event && --event->handles == 0) DropEvent(event);
}

void SimCreateForeignEvent(const std::u16string& name, bool nullDacl, const std::vector<SimAce>& dacl,
                           const std::string& owner) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::unique_ptr<Event> event(new Event());
  event->name = name;
  event->owner = owner;
  event->handles = 1;  // the other process's, which stays open
  event->securityGiven = true;
  event->daclPresent = true;
  event->nullDacl = nullDacl;
  event->dacl = dacl;
  state->events.push_back(std::move(event));
}

void SimSetCallerIsAdministrator(bool administrator) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->administrator = administrator;
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                      BOOL initialState, LPCWSTR name) {
  if (SimFault("CreateEventW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::u16string text = SimText(name);
  if (!text.empty()) {
    if (Event* existing = FindNamed(text)) {
      // The existing event is opened with EVENT_ALL_ACCESS, if its DACL grants that.
      if ((GrantedAccess(*existing, SimIsServiceProcess()) & EVENT_ALL_ACCESS) != EVENT_ALL_ACCESS) {
        SimSetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      HANDLE handle = NewHandle(existing, EVENT_ALL_ACCESS);
      SimSetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
  }
  std::unique_ptr<Event> event(new Event());
  event->name = text;
  // The token's default owner: LocalSystem's for the service, the administrator's otherwise.
  event->owner = SimIsServiceProcess() ? "S-1-5-18" : SimMachineDomain + "-1000";
  event->manualReset = manualReset != FALSE;
  event->signalled = initialState != FALSE;
  if (attributes && attributes->lpSecurityDescriptor) {
    if (attributes->nLength != sizeof(SECURITY_ATTRIBUTES)) {
      SimSetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const SECURITY_DESCRIPTOR* descriptor =
        static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
      SimSetLastError(ERROR_INVALID_SECURITY_DESCR);
      return nullptr;
    }
    event->securityGiven = true;
    event->daclPresent = (descriptor->Control & SE_DACL_PRESENT) != 0;
    event->nullDacl = event->daclPresent && descriptor->Dacl == nullptr;
    if (event->daclPresent && descriptor->Dacl) {
      if (descriptor->Dacl->AclRevision != ACL_REVISION) {
        SimSetLastError(ERROR_INVALID_ACL);
        return nullptr;
      }
      event->dacl = SimAclEntries(descriptor->Dacl);
    }
  }
  state->events.push_back(std::move(event));
  SimSetLastError(0);
  return NewHandle(state->events.back().get(), EVENT_ALL_ACCESS);
}

extern "C" HANDLE WINAPI OpenEventW(DWORD access, BOOL, LPCWSTR name) {
  if (SimFault("OpenEventW")) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Event* event = name ? FindNamed(SimText(name)) : nullptr;
  if (!event) {
    SimSetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if ((GrantedAccess(*event) & access) != access) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return NewHandle(event, access);
}

extern "C" BOOL WINAPI SetEvent(HANDLE handle) {
  if (SimFault("SetEvent")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  EventHandle* payload = static_cast<EventHandle*>(SimHandlePayload(handle, SimHandleKind::Event));
  if (!payload) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(payload->access & EVENT_MODIFY_STATE)) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Signal(payload->event);
  return TRUE;
}

// Nothing really blocks: a wait on an unsignalled event lets its time pass on the virtual
// clock and ends with WAIT_TIMEOUT. A wait without end on an unsignalled event would hang the
// program for good, since no other thread of the simulation signals while it waits; the
// process stops there, so that the test sees it.
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD timeout) {
  if (SimFault("WaitForSingleObject")) return WAIT_FAILED;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  EventHandle* payload = static_cast<EventHandle*>(SimHandlePayload(handle, SimHandleKind::Event));
  if (!payload) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!(payload->access & SYNCHRONIZE)) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  Event* event = payload->event;
  if (!event->signalled && timeout != 0 && state->whileWaiting) {
    // Another process acts while this thread is blocked: a signal releases it at once.
    std::function<void()> action = state->whileWaiting;
    state->whileWaiting = nullptr;
    event->waitedOn = true;
    event->released = false;
    action();
    event->waitedOn = false;
    if (event->released) return WAIT_OBJECT_0;
  }
  if (!event->signalled) {
    if (timeout == INFINITE) {
      fprintf(stderr, "sim: endless wait on the unsignalled event \"%s\"\n",
              SimUtf8(event->name).c_str());
      abort();
    }
    SimSetTickCount(SimTickCount() + timeout);
    return WAIT_TIMEOUT;
  }
  if (!payload->event->manualReset) payload->event->signalled = false;
  return WAIT_OBJECT_0;
}

// The owner of an event, in a self-relative descriptor; the handle needs READ_CONTROL.
extern "C" BOOL WINAPI GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION requested,
                                               PSECURITY_DESCRIPTOR descriptor, DWORD length,
                                               LPDWORD lengthNeeded) {
  if (SimFault("GetKernelObjectSecurity")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  EventHandle* payload = static_cast<EventHandle*>(SimHandlePayload(handle, SimHandleKind::Event));
  if (!payload) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(payload->access & 0x00020000 /* READ_CONTROL */) || requested != OWNER_SECURITY_INFORMATION) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SimFileSecurity security;
  security.owner = payload->event->owner;
  return SimGiveDescriptor(security, requested, descriptor, length, lengthNeeded);
}
