// The accounts that the service's security checks know by their SIDs, and how a message names
// an account. SIDs here are read from descriptors that the system filled in: a SID is only
// looked at as far as its own header says it reaches, and never beyond 15 sub-authorities.
#pragma once

#include "platform/win32.h"

// Room for a SID with the most sub-authorities a SID may have (15).
#define SID_CAPACITY 68
// Room for an account's name, or for the longest SID as text.
#define ACCOUNT_NAME_CAPACITY 160

// A 32-bit value as a descriptor stores it (least significant byte first), at any alignment.
inline DWORD ReadDword(const BYTE* at) {
  DWORD value;
  __builtin_memcpy(&value, at, 4);
  return value;
}

// The SID's length in bytes; 0 when it is not a SID of revision 1 with 1 to 15 sub-authorities.
DWORD SidBytes(const BYTE* sid);
bool SameSid(const BYTE* a, const BYTE* b);
// SYSTEM or Administrators: owners that no user can give an object of their own making.
bool IsSystemOrAdministrators(const BYTE* sid);
// SYSTEM, Administrators or TrustedInstaller, which owns what Windows itself installs.
bool IsAdministrativeAccount(const BYTE* sid);
// The RID of a SID of the creator authority (S-1-3-<rid>), 0xFFFFFFFF for any other. CREATOR
// OWNER (0) and CREATOR GROUP (1) stand for nobody outside entries that only pass on to
// children; an entry for OWNER RIGHTS (4) gives its rights to whoever owns the object.
#define CREATOR_OWNER_RID 0
#define CREATOR_GROUP_RID 1
#define OWNER_RIGHTS_RID 4
DWORD CreatorRid(const BYTE* sid);
// Everyone (S-1-1-0), SYSTEM (S-1-5-18) and Administrators (S-1-5-32-544).
extern const BYTE EveryoneSid[12];
extern const BYTE SystemSid[12];
extern const BYTE AdministratorsSid[16];

// The account's name, as "Authenticated Users" or "alice", when the machine knows it without
// asking a domain controller: well-known and built-in accounts, service accounts and the
// machine's own users and groups. Any other account, one of a domain say, is named by its SID
// ("S-1-5-21-..."), as is an account that cannot be looked up. Nothing fails: the name is
// always filled in.
void NameAccount(const BYTE* sid, LPWSTR name, DWORD capacity);
