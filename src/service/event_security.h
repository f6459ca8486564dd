// The security of the flush-request event: everyone may signal it, only SYSTEM and the
// Administrators may do more (wait on it, change its DACL, take it over). A user who could
// wait on the auto-reset event could take each signal before the service sees it.
#pragma once

#include "platform/win32.h"

// Room for a header and three entries: Everyone (12-byte SID), SYSTEM (12) and
// Administrators (16), each behind an 8-byte entry header and mask.
#define FLUSH_EVENT_ACL_BYTES 128

struct FlushEventSecurity {
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[FLUSH_EVENT_ACL_BYTES / sizeof(DWORD)];
  SECURITY_ATTRIBUTES attributes;
};

// Fills the record so that `attributes` can be passed to CreateEventW. False when a call
// failed; the last error then says why. Takes no memory.
bool BuildFlushEventSecurity(FlushEventSecurity* security);

// Whether an event that existed before the service made it is owned by SYSTEM or the
// Administrators: no user can give an object of their own that owner, so it is the service's
// own from a start just before (a client may still hold it), or one an administrator made.
// False as well when its owner cannot be read.
bool OwnedByAdministrators(HANDLE event);
