#include "service/event_security.h"

#include "service/accounts.h"

namespace {

// A self-relative descriptor that holds only an owner: its 20-byte header and the SID, with
// room to spare.
#define OWNER_DESCRIPTOR_CAPACITY 128
#define OWNER_AT 4

}  // namespace

bool BuildFlushEventSecurity(FlushEventSecurity* security) {
  PACL acl = reinterpret_cast<PACL>(security->acl);
  if (!InitializeAcl(acl, sizeof security->acl, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, EVENT_MODIFY_STATE, const_cast<BYTE*>(EveryoneSid)) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, const_cast<BYTE*>(SystemSid)) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, const_cast<BYTE*>(AdministratorsSid)) ||
      !InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE)) {
    return false;
  }
  security->attributes.nLength = sizeof security->attributes;
  security->attributes.lpSecurityDescriptor = &security->descriptor;
  security->attributes.bInheritHandle = FALSE;
  return true;
}

bool OwnedByAdministrators(HANDLE event) {
  DWORD buffer[OWNER_DESCRIPTOR_CAPACITY / sizeof(DWORD)];
  DWORD needed;
  if (!GetKernelObjectSecurity(event, OWNER_SECURITY_INFORMATION,
                               reinterpret_cast<PSECURITY_DESCRIPTOR>(buffer), sizeof buffer,
                               &needed)) {
    return false;
  }
  const BYTE* descriptor = reinterpret_cast<const BYTE*>(buffer);
  // Without an owner the offset is 0, and the header there is no SID of either.
  DWORD ownerAt = descriptor[OWNER_AT] | descriptor[OWNER_AT + 1] << 8;
  return ownerAt + SID_CAPACITY <= sizeof buffer && IsSystemOrAdministrators(descriptor + ownerAt);
}
