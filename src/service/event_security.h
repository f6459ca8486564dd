// The security of the flush-request event: everyone may signal it and wait on it, only
// SYSTEM and the Administrators may do more (change its DACL, take it over).
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
// failed; the last error then says why. Takes no memory beyond the SIDs, which it frees
// before it returns.
bool BuildFlushEventSecurity(FlushEventSecurity* security);
