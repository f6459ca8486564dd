// Security descriptors and access-control lists in the binary layout of Windows. Nothing on
// Linux reads them (events cannot be reached from other processes here), but a descriptor
// that the program builds must be built right: the sizes, counts and errors are those of
// Windows, so that a fault in building one shows here too.
#include <string.h>

#include "platform/linux/constants.h"
#include "platform/linux/sid.h"

namespace {

// ACE_HEADER (type, flags, size), the access mask, then the SID.
const DWORD AceFixedBytes = 8;

bool IsAclRevision(DWORD revision) { return revision >= ACL_REVISION && revision <= ACL_REVISION_DS; }

WORD ReadWord(const BYTE* at) { return static_cast<WORD>(at[0] | (at[1] << 8)); }

void WriteWord(BYTE* at, WORD value) {
  at[0] = static_cast<BYTE>(value);
  at[1] = static_cast<BYTE>(value >> 8);
}

// The offset of the first free byte after the ACL's entries, or 0 when the entries do not
// lie within the ACL.
DWORD EndOfEntries(const ACL* acl) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
  DWORD offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (offset + 4 > acl->AclSize) return 0;
    WORD size = ReadWord(bytes + offset + 2);
    if (size < 4 || offset + size > acl->AclSize) return 0;
    offset += size;
  }
  return offset;
}

}  // namespace

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                    DWORD revision) {
  if (revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  memset(descriptor, 0, sizeof *descriptor);
  descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

// With daclPresent a null `dacl` is the null DACL (everyone has every access); without it
// the descriptor has no DACL and the other arguments are not looked at.
extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent,
                                                 PACL dacl, BOOL daclDefaulted) {
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (descriptor->Control & SE_SELF_RELATIVE) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  if (!daclPresent) {
    descriptor->Control &= static_cast<WORD>(~SE_DACL_PRESENT);
    return TRUE;
  }
  descriptor->Control |= SE_DACL_PRESENT;
  descriptor->Dacl = dacl;
  if (daclDefaulted) {
    descriptor->Control |= SE_DACL_DEFAULTED;
  } else {
    descriptor->Control &= static_cast<WORD>(~SE_DACL_DEFAULTED);
  }
  return TRUE;
}

extern "C" BOOL WINAPI InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision) {
  if (aclLength < sizeof(ACL)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!IsAclRevision(aclRevision) || aclLength > 0xFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  acl->AclRevision = static_cast<BYTE>(aclRevision);
  acl->Sbz1 = 0;
  acl->AclSize = static_cast<WORD>(aclLength);
  acl->AceCount = 0;
  acl->Sbz2 = 0;
  return TRUE;
}

// Appends ACCESS_ALLOWED_ACE {type 0, flags 0, size 8 + SID length, mask, SID} behind the
// ACL's entries. An ACE of a later revision raises the ACL's revision to it.
extern "C" BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD aceRevision, DWORD accessMask,
                                           PSID sid) {
  if (!IsAclRevision(acl->AclRevision) || !IsAclRevision(aceRevision)) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (!IsValidSidLayout(sid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  DWORD end = EndOfEntries(acl);
  if (end == 0) {
    SetLastError(ERROR_INVALID_ACL);
    return FALSE;
  }
  DWORD sidLength = SidLengthFor(static_cast<const BYTE*>(sid)[1]);
  DWORD aceSize = AceFixedBytes + sidLength;
  if (end + aceSize > acl->AclSize) {
    SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return FALSE;
  }
  BYTE* ace = reinterpret_cast<BYTE*>(acl) + end;
  ace[0] = ACCESS_ALLOWED_ACE_TYPE;
  ace[1] = 0;
  WriteWord(ace + 2, static_cast<WORD>(aceSize));
  memcpy(ace + 4, &accessMask, 4);
  memcpy(ace + AceFixedBytes, sid, sidLength);
  acl->AceCount = static_cast<WORD>(acl->AceCount + 1);
  if (aceRevision > acl->AclRevision) acl->AclRevision = static_cast<BYTE>(aceRevision);
  return TRUE;
}

// Linux files carry modes, not security descriptors, and only -i and the service read them:
// both stop earlier here, since there is no service control manager.
extern "C" BOOL WINAPI GetFileSecurityW(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                        DWORD, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

// The same holds for the other questions that only -i and the service ask: the attributes
// of the program's path, the owner of an event that existed before the service, and the names
// of accounts and the machine's account domain.
extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_FILE_ATTRIBUTES;
}

extern "C" BOOL WINAPI GetKernelObjectSecurity(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                               DWORD, LPDWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

extern "C" BOOL WINAPI LookupAccountSidW(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD,
                                         PSID_NAME_USE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

extern "C" NTSTATUS WINAPI LsaOpenPolicy(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK,
                                         PLSA_HANDLE) {
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS WINAPI LsaQueryInformationPolicy(LSA_HANDLE, POLICY_INFORMATION_CLASS, void**) {
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS WINAPI LsaFreeMemory(void*) { return STATUS_NOT_IMPLEMENTED; }

extern "C" NTSTATUS WINAPI LsaClose(LSA_HANDLE) { return STATUS_NOT_IMPLEMENTED; }
