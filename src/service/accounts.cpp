#include "service/accounts.h"

#include "support/format.h"

namespace {

#define MAX_SUB_AUTHORITIES 15
#define DOMAIN_NAME_CAPACITY 80

// SIDs in their binary form: the revision, the count of sub-authorities, the six-byte
// identifier authority (most significant byte first), then each sub-authority in four bytes,
// least significant first.
#define NT_AUTHORITY 0, 0, 0, 0, 0, 5
#define SUB(value) (value) & 0xFF, (value) >> 8 & 0xFF, (value) >> 16 & 0xFF, (value) >> 24
const BYTE TrustedInstallerSid[] = {1, 6, NT_AUTHORITY, SUB(80), SUB(956008885u), SUB(3418522649u),
                                    SUB(1831038044u), SUB(1853292631u), SUB(2271478464u)};

// The identifier authority.
uint64_t AuthorityOf(const BYTE* sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  return authority;
}

// Whether `sid` is an account of the domain `domain`: the domain's SID and one RID more.
bool InDomain(const BYTE* sid, const BYTE* domain) {
  DWORD domainBytes = SidBytes(domain);
  if (!domainBytes || sid[1] != domain[1] + 1) return false;
  for (DWORD i = 2; i < domainBytes; ++i) {
    if (sid[i] != domain[i]) return false;
  }
  return true;
}

// The machine's own accounts (its local users and groups) belong to its account domain,
// which the local security authority knows without asking anyone.
bool IsMachineAccount(const BYTE* sid) {
  LSA_OBJECT_ATTRIBUTES attributes = {};
  LSA_HANDLE policy = NULL;
  if (LsaOpenPolicy(NULL, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0) return false;
  POLICY_ACCOUNT_DOMAIN_INFO* domain = NULL;
  bool machine = false;
  if (LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation,
                                reinterpret_cast<void**>(&domain)) == 0) {
    machine = domain->DomainSid && InDomain(sid, static_cast<const BYTE*>(domain->DomainSid));
    LsaFreeMemory(domain);
  }
  LsaClose(policy);
  return machine;
}

// Accounts whose names the machine has without a domain controller: those of the world and
// local authorities (Everyone, LOCAL), the creator placeholders, the NT authority's well-known
// and built-in accounts and service accounts, and the machine's own accounts. A domain's
// accounts (S-1-5-21-... of another domain) would cost a round trip to a domain controller,
// which at boot may not answer for a long time.
bool KnownLocally(const BYTE* sid) {
  uint64_t authority = AuthorityOf(sid);
  if (authority >= 1 && authority <= 3) return true;
  return authority == 5 && (ReadDword(sid + 8) != 21 || IsMachineAccount(sid));
}

}  // namespace

const BYTE EveryoneSid[12] = {1, 1, 0, 0, 0, 0, 0, 1, SUB(0)};
const BYTE SystemSid[12] = {1, 1, NT_AUTHORITY, SUB(18)};
const BYTE AdministratorsSid[16] = {1, 2, NT_AUTHORITY, SUB(32), SUB(544)};

DWORD SidBytes(const BYTE* sid) {
  if (sid[0] != 1 || sid[1] == 0 || sid[1] > MAX_SUB_AUTHORITIES) return 0;
  return 8 + 4 * static_cast<DWORD>(sid[1]);
}

bool SameSid(const BYTE* a, const BYTE* b) {
  DWORD bytes = SidBytes(a);
  if (!bytes || bytes != SidBytes(b)) return false;
  for (DWORD i = 0; i < bytes; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool IsSystemOrAdministrators(const BYTE* sid) {
  return SameSid(sid, SystemSid) || SameSid(sid, AdministratorsSid);
}

bool IsAdministrativeAccount(const BYTE* sid) {
  return IsSystemOrAdministrators(sid) || SameSid(sid, TrustedInstallerSid);
}

DWORD CreatorRid(const BYTE* sid) {
  return sid[0] == 1 && sid[1] == 1 && AuthorityOf(sid) == 3 ? ReadDword(sid + 8) : 0xFFFFFFFFu;
}

void NameAccount(const BYTE* sid, LPWSTR name, DWORD capacity) {
  // LookupAccountSidW refuses a malformed SID itself.
  if (KnownLocally(sid)) {
    WCHAR domain[DOMAIN_NAME_CAPACITY];
    DWORD nameLength = capacity;
    DWORD domainLength = DOMAIN_NAME_CAPACITY;
    SID_NAME_USE use;
    if (LookupAccountSidW(NULL, const_cast<BYTE*>(sid), name, &nameLength, domain, &domainLength,
                          &use)) {
      return;
    }
  }
  // The SID as text, the authority in decimal (those in use are all below 2^32, where that is
  // the usual form); a malformed SID as far as its sub-authorities go, at most 15.
  DWORD at = FormatText(name, capacity, TEXT("S-%u-%I64u"), sid[0], AuthorityOf(sid));
  BYTE count = sid[1] > MAX_SUB_AUTHORITIES ? MAX_SUB_AUTHORITIES : sid[1];
  for (BYTE i = 0; i < count; ++i) {
    at += FormatText(name + at, capacity - at, TEXT("-%u"), ReadDword(sid + 8 + 4 * i));
  }
}
