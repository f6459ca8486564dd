// Security descriptors and ACLs of the simulated machine, laid out as Windows lays them out:
// an ACL header, then ACEs of a header, an access mask and the SID's bytes.
#include "sim/sim_security.h"

#include <cstring>
#include <map>
#include <sstream>

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

namespace {

std::map<std::u16string, SimFileSecurity>* fileSecurity = nullptr;

void ResetFileSecurity() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete fileSecurity;
  fileSecurity = new std::map<std::u16string, SimFileSecurity>();
}

SimResetRegistration registration(ResetFileSecurity);

void Put(std::vector<BYTE>& bytes, size_t at, DWORD value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

// The parts of a descriptor that `requested` names, in the self-relative layout: the header,
// the owner, then the DACL.
std::vector<BYTE> SelfRelative(const SimFileSecurity& security, SECURITY_INFORMATION requested) {
  std::vector<BYTE> bytes(20, 0);
  bytes[0] = SECURITY_DESCRIPTOR_REVISION;
  WORD control = SE_SELF_RELATIVE;
  if ((requested & OWNER_SECURITY_INFORMATION) && !security.owner.empty()) {
    Put(bytes, 4, static_cast<DWORD>(bytes.size()), 4);
    std::vector<BYTE> owner = SimSidBytes(security.owner);
    bytes.insert(bytes.end(), owner.begin(), owner.end());
  }
  if ((requested & DACL_SECURITY_INFORMATION) && security.daclPresent) {
    control |= SE_DACL_PRESENT;
    if (!security.nullDacl) {
      size_t acl = bytes.size();
      Put(bytes, 16, static_cast<DWORD>(acl), 4);
      bytes.resize(acl + 8, 0);
      bytes[acl] = ACL_REVISION;
      for (const SimAce& entry : security.aces) {
        std::vector<BYTE> sid = SimSidBytes(entry.sid);
        size_t at = bytes.size();
        bytes.resize(at + 8, 0);
        bytes[at] = static_cast<BYTE>(entry.type);
        bytes[at + 1] = static_cast<BYTE>(entry.flags);
        Put(bytes, at + 2, static_cast<DWORD>(8 + sid.size()), 2);
        Put(bytes, at + 4, entry.mask, 4);
        bytes.insert(bytes.end(), sid.begin(), sid.end());
      }
      Put(bytes, acl + 2, static_cast<DWORD>(bytes.size() - acl), 2);
      Put(bytes, acl + 4, static_cast<DWORD>(security.aces.size()), 2);
    }
  }
  Put(bytes, 2, control, 2);
  return bytes;
}

}  // namespace

BOOL SimGiveDescriptor(const SimFileSecurity& security, SECURITY_INFORMATION requested,
                       PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD lengthNeeded) {
  std::vector<BYTE> bytes = SelfRelative(security, requested);
  *lengthNeeded = static_cast<DWORD>(bytes.size());
  if (length < bytes.size()) {
    SimSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

std::vector<BYTE> SimSidBytes(const std::string& text) {
  std::vector<uint64_t> parts;
  std::istringstream in(text.substr(2));
  for (std::string part; std::getline(in, part, '-');) parts.push_back(std::stoull(part));
  std::vector<BYTE> sid = {static_cast<BYTE>(parts[0]), static_cast<BYTE>(parts.size() - 2)};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[1] >> shift));
  for (size_t i = 2; i < parts.size(); ++i) {
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(parts[i] >> shift));
  }
  return sid;
}

void SimSetFileSecurity(const std::u16string& path, const SimFileSecurity& security) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  (*fileSecurity)[SimUpperAscii(path)] = security;
}

namespace {

// What is set for the path, or the Program Files default.
SimFileSecurity SecurityOf(LPCWSTR fileName) {
  auto found = fileSecurity->find(SimUpperAscii(SimText(fileName)));
  if (found != fileSecurity->end()) return found->second;
  return {"S-1-5-32-544", true, false,
          {{ACCESS_ALLOWED_ACE_TYPE, 0x1F01FF, "S-1-5-18"},
           {ACCESS_ALLOWED_ACE_TYPE, 0x1F01FF, "S-1-5-32-544"},
           {ACCESS_ALLOWED_ACE_TYPE, 0x1200A9, "S-1-5-32-545"},
           {ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, "S-1-3-0", 0x0B}}};
}

}  // namespace

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
  if (SimFault("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::u16string path = SimText(fileName);
  DWORD attributes = !path.empty() && path.back() == u'\\' ? FILE_ATTRIBUTE_DIRECTORY : 0x20;
  if (SecurityOf(fileName).reparsePoint) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

extern "C" BOOL WINAPI GetFileSecurityW(LPCWSTR fileName, SECURITY_INFORMATION requested,
                                        PSECURITY_DESCRIPTOR descriptor, DWORD length,
                                        LPDWORD lengthNeeded) {
  if (SimFault("GetFileSecurityW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return SimGiveDescriptor(SecurityOf(fileName), requested, descriptor, length, lengthNeeded);
}
