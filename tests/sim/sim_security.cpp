// Security descriptors and ACLs of the simulated machine, laid out as Windows lays them out:
// an ACL header, then ACEs of a header, an access mask and the SID's bytes.
#include "sim/sim_security.h"

#include <cstring>

#include "sim/sim_internal.h"

namespace {

DWORD SidBytes(const void* sid) { return 8 + 4 * static_cast<const BYTE*>(sid)[1]; }

bool ValidSid(const void* sid) {
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return bytes && bytes[0] == 1 && bytes[1] >= 1 && bytes[1] <= 15;
}

}  // namespace

std::string SimSidString(const void* sid) {
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
  std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    DWORD sub;
    memcpy(&sub, bytes + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

std::vector<SimAce> SimAclEntries(const void* acl) {
  std::vector<SimAce> entries;
  const ACL* header = static_cast<const ACL*>(acl);
  const BYTE* base = static_cast<const BYTE*>(acl);
  DWORD at = sizeof(ACL);
  for (WORD i = 0; i < header->AceCount; ++i) {
    ACE_HEADER ace;
    if (at + sizeof ace > header->AclSize) return std::vector<SimAce>();
    memcpy(&ace, base + at, sizeof ace);
    if (ace.AceSize < 8 + 8 || at + ace.AceSize > header->AclSize) return std::vector<SimAce>();
    DWORD mask;
    memcpy(&mask, base + at + 4, 4);
    entries.push_back({ace.AceType, mask, SimSidString(base + at + 8)});
    at += ace.AceSize;
  }
  return entries;
}

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                    DWORD revision) {
  if (SimFault("InitializeSecurityDescriptor")) return FALSE;
  if (revision != SECURITY_DESCRIPTOR_REVISION) {
    SimSetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                                 BOOL daclPresent, PACL dacl,
                                                 BOOL daclDefaulted) {
  if (SimFault("SetSecurityDescriptorDacl")) return FALSE;
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SimSetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  descriptor->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (daclPresent) {
    descriptor->Control |= SE_DACL_PRESENT;
    if (daclDefaulted) descriptor->Control |= SE_DACL_DEFAULTED;
    descriptor->Dacl = dacl;
  } else {
    descriptor->Dacl = nullptr;
  }
  return TRUE;
}

extern "C" BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
  if (SimFault("InitializeAcl")) return FALSE;
  if (length < sizeof(ACL)) {
    SimSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (revision != ACL_REVISION || length > 0xFFFF || (length & 3) != 0) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memset(acl, 0, sizeof(ACL));
  acl->AclRevision = static_cast<BYTE>(revision);
  acl->AclSize = static_cast<WORD>(length);
  return TRUE;
}

extern "C" BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  if (SimFault("AddAccessAllowedAce")) return FALSE;
  if (!acl || acl->AclRevision != ACL_REVISION || revision != ACL_REVISION) {
    SimSetLastError(ERROR_INVALID_ACL);
    return FALSE;
  }
  if (!ValidSid(sid)) {
    SimSetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  BYTE* base = reinterpret_cast<BYTE*>(acl);
  DWORD end = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    ACE_HEADER header;
    memcpy(&header, base + end, sizeof header);
    end += header.AceSize;
  }
  DWORD size = static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + SidBytes(sid);
  if (end + size > acl->AclSize) {
    SimSetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return FALSE;
  }
  ACE_HEADER header = {ACCESS_ALLOWED_ACE_TYPE, 0, static_cast<WORD>(size)};
  memcpy(base + end, &header, sizeof header);
  memcpy(base + end + 4, &mask, 4);
  memcpy(base + end + 8, sid, SidBytes(sid));
  ++acl->AceCount;
  return TRUE;
}
