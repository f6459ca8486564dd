#include "service/event_security.h"

namespace {

struct AllowedEntry {
  BYTE authority;  // the last byte of the identifier authority: 1 world, 5 NT
  BYTE subAuthorityCount;
  DWORD subAuthority0;
  DWORD subAuthority1;
  DWORD access;
};

const AllowedEntry AllowedEntries[] = {
    {1, 1, SECURITY_WORLD_RID, 0, EVENT_MODIFY_STATE},                               // Everyone
    {5, 1, SECURITY_LOCAL_SYSTEM_RID, 0, EVENT_ALL_ACCESS},                          // SYSTEM
    {5, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, EVENT_ALL_ACCESS},  // Administrators
};

bool AddEntry(PACL acl, const AllowedEntry& entry) {
  SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, entry.authority}};
  PSID sid = NULL;
  if (!AllocateAndInitializeSid(&authority, entry.subAuthorityCount, entry.subAuthority0,
                                entry.subAuthority1, 0, 0, 0, 0, 0, 0, &sid)) {
    return false;
  }
  BOOL added = AddAccessAllowedAce(acl, ACL_REVISION, entry.access, sid);
  DWORD error = GetLastError();
  FreeSid(sid);
  SetLastError(error);
  return added != FALSE;
}

}  // namespace

bool BuildFlushEventSecurity(FlushEventSecurity* security) {
  PACL acl = reinterpret_cast<PACL>(security->acl);
  if (!InitializeAcl(acl, sizeof security->acl, ACL_REVISION)) return false;
  for (const AllowedEntry& entry : AllowedEntries) {
    if (!AddEntry(acl, entry)) return false;
  }
  if (!InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    return false;
  }
  if (!SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE)) return false;
  security->attributes.nLength = sizeof security->attributes;
  security->attributes.lpSecurityDescriptor = &security->descriptor;
  security->attributes.bInheritHandle = FALSE;
  return true;
}
