// The process token and SIDs of the simulated machine.
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "sim/sim_internal.h"
#include "sim/sim_security.h"
#include "sim/sim_service.h"

namespace {

struct TokenState {
  bool interactive = true;
  bool sizeQuerySucceeds = false;
  std::set<void*> sids;
  std::vector<std::string> lookups;
};

// The names LookupAccountSidW gives. The machine's own accounts belong to its account domain;
// the domain's accounts are answered too, as a domain controller would answer.
const std::map<std::string, std::pair<const char16_t*, const char16_t*>> AccountNames = {
    {"S-1-1-0", {u"Everyone", u""}},
    {"S-1-2-0", {u"LOCAL", u""}},
    {"S-1-3-4", {u"OWNER RIGHTS", u""}},
    {"S-1-5-2", {u"NETWORK", u"NT AUTHORITY"}},
    {"S-1-5-4", {u"INTERACTIVE", u"NT AUTHORITY"}},
    {"S-1-5-6", {u"SERVICE", u"NT AUTHORITY"}},
    {"S-1-5-7", {u"ANONYMOUS LOGON", u"NT AUTHORITY"}},
    {"S-1-5-11", {u"Authenticated Users", u"NT AUTHORITY"}},
    {"S-1-5-18", {u"SYSTEM", u"NT AUTHORITY"}},
    {"S-1-5-32-544", {u"Administrators", u"BUILTIN"}},
    {"S-1-5-32-545", {u"Users", u"BUILTIN"}},
    {"S-1-5-32-546", {u"Guests", u"BUILTIN"}},
    {SimMachineDomain + "-513", {u"None", u"DESKTOP"}},
    {SimMachineDomain + "-1000", {u"admin", u"DESKTOP"}},
    {SimMachineDomain + "-1001", {u"alice", u"DESKTOP"}},
    {"S-1-5-21-1004336348-1177238915-682003330-513", {u"Domain Users", u"CORP"}},
    {"S-1-5-21-1004336348-1177238915-682003330-1001", {u"bob", u"CORP"}},
};

// The policy handle's payload; nothing is kept behind it.
char policyPayload;

TokenState* state = nullptr;

void ResetToken() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (state) {
    for (void* sid : state->sids) free(sid);
  }
  delete state;
  state = new TokenState();
}

SimResetRegistration registration(ResetToken);

std::vector<std::vector<BYTE>> TokenGroupSids() {
  std::vector<std::vector<BYTE>> groups;
  groups.push_back(SimSidBytes("S-1-1-0"));       // Everyone
  groups.push_back(SimSidBytes("S-1-5-32-545"));  // BUILTIN\Users
  if (state->interactive) groups.push_back(SimSidBytes("S-1-5-4"));  // INTERACTIVE
  groups.push_back(SimSidBytes("S-1-5-11"));      // Authenticated Users
  groups.push_back(SimSidBytes("S-1-2-0"));       // LOCAL
  return groups;
}

DWORD SidLength(const void* sid) { return 8 + 4 * static_cast<const BYTE*>(sid)[1]; }

}  // namespace

void SimSetInteractive(bool interactive) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->interactive = interactive;
}

void SimSetTokenSizeQuerySucceeds(bool succeeds) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->sizeQuerySucceeds = succeeds;
}

std::vector<std::string> SimAccountLookups() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->lookups;
}

int SimLiveSids() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return static_cast<int>(state->sids.size());
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  if (SimFault("OpenProcessToken")) return FALSE;
  if (process != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)) || !token) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = SimCreateHandle(SimHandleKind::Token, reinterpret_cast<void*>(static_cast<uintptr_t>(access)),
                           nullptr, true, "process token");
  return TRUE;
}

extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                           LPVOID information, DWORD length, LPDWORD returnLength) {
  if (SimFault("GetTokenInformation")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (!SimHandleIsKind(token, SimHandleKind::Token)) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD access = static_cast<DWORD>(reinterpret_cast<uintptr_t>(SimHandlePayload(token, SimHandleKind::Token)));
  if (!(access & TOKEN_QUERY)) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (kind == TokenUser) {
    // The installing administrator; a service process runs as LocalSystem.
    std::vector<BYTE> user = SimSidBytes(SimIsServiceProcess() ? "S-1-5-18" : SimMachineDomain + "-1000");
    DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + user.size());
    if (returnLength) *returnLength = needed;
    if (!information || length < needed) {
      SimSetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
    memcpy(sid, user.data(), user.size());
    static_cast<TOKEN_USER*>(information)->User.Sid = sid;
    static_cast<TOKEN_USER*>(information)->User.Attributes = 0;
    return TRUE;
  }
  if (kind != TokenGroups) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::vector<BYTE>> sids = TokenGroupSids();
  DWORD header = static_cast<DWORD>(offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES));
  DWORD needed = header;
  for (auto& sid : sids) needed += static_cast<DWORD>(sid.size());
  if (returnLength) *returnLength = needed;
  if (!information && length == 0 && state->sizeQuerySucceeds) {
    SimSetLastError(NO_ERROR);
    return TRUE;
  }
  if (!information || length < needed) {
    SimSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* base = static_cast<BYTE*>(information);
  TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(information);
  groups->GroupCount = static_cast<DWORD>(sids.size());
  DWORD offset = header;
  for (size_t i = 0; i < sids.size(); ++i) {
    memcpy(base + offset, sids[i].data(), sids[i].size());
    groups->Groups[i].Sid = base + offset;
    groups->Groups[i].Attributes = SE_GROUP_ENABLED;
    offset += static_cast<DWORD>(sids[i].size());
  }
  return TRUE;
}

extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                                DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4,
                                                DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
  if (SimFault("AllocateAndInitializeSid")) return FALSE;
  if (!authority || !sid || count == 0 || count > 8) {
    SimSetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  BYTE* made = static_cast<BYTE*>(malloc(8 + 4 * count));
  made[0] = 1;
  made[1] = count;
  memcpy(made + 2, authority->Value, 6);
  memcpy(made + 8, subs, 4 * count);
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->sids.insert(made);
  *sid = made;
  return TRUE;
}

extern "C" BOOL WINAPI EqualSid(PSID a, PSID b) {
  SimNoteCall("EqualSid");
  SimSetLastError(0);
  DWORD n = SidLength(a);
  return n == SidLength(b) && memcmp(a, b, n) == 0;
}

extern "C" DWORD WINAPI GetLengthSid(PSID sid) {
  SimNoteCall("GetLengthSid");
  return SidLength(sid);
}

extern "C" void* WINAPI FreeSid(PSID sid) {
  SimNoteCall("FreeSid");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (state->sids.erase(sid) == 0) return sid;  // not ours: Windows returns the pointer
  free(sid);
  return nullptr;
}

extern "C" BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                                        LPWSTR domainName, LPDWORD domainLength, PSID_NAME_USE use) {
  if (SimFault("LookupAccountSidW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  if (systemName || !bytes || bytes[0] != 1 || bytes[1] == 0 || bytes[1] > 15) {
    SimSetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  std::string text = SimSidString(sid);
  state->lookups.push_back(text);
  auto found = AccountNames.find(text);
  if (found == AccountNames.end()) {
    SimSetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  std::u16string account = found->second.first, domain = found->second.second;
  if (*nameLength <= account.size() || *domainLength <= domain.size()) {
    *nameLength = static_cast<DWORD>(account.size() + 1);
    *domainLength = static_cast<DWORD>(domain.size() + 1);
    SimSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(account.begin(), account.end(), name);
  name[account.size()] = 0;
  std::copy(domain.begin(), domain.end(), domainName);
  domainName[domain.size()] = 0;
  *nameLength = static_cast<DWORD>(account.size());
  *domainLength = static_cast<DWORD>(domain.size());
  *use = SidTypeUser;
  return TRUE;
}

extern "C" NTSTATUS WINAPI LsaOpenPolicy(PLSA_UNICODE_STRING systemName, PLSA_OBJECT_ATTRIBUTES attributes,
                                         ACCESS_MASK, PLSA_HANDLE policy) {
  if (SimFault("LsaOpenPolicy")) return STATUS_ACCESS_DENIED;
  if (systemName || !attributes || !policy) return STATUS_ACCESS_DENIED;
  *policy = SimCreateHandle(SimHandleKind::Policy, &policyPayload, nullptr, true, "LSA policy");
  return 0;
}

extern "C" NTSTATUS WINAPI LsaQueryInformationPolicy(LSA_HANDLE policy, POLICY_INFORMATION_CLASS kind,
                                                     void** buffer) {
  if (SimFault("LsaQueryInformationPolicy")) return STATUS_ACCESS_DENIED;
  if (!SimHandleIsKind(policy, SimHandleKind::Policy) || kind != PolicyAccountDomainInformation) {
    return STATUS_ACCESS_DENIED;
  }
  // The record and the domain's SID behind it, in one block that LsaFreeMemory gives back.
  std::vector<BYTE> sid = SimSidBytes(SimMachineDomain);
  BYTE* block = static_cast<BYTE*>(calloc(1, sizeof(POLICY_ACCOUNT_DOMAIN_INFO) + sid.size()));
  memcpy(block + sizeof(POLICY_ACCOUNT_DOMAIN_INFO), sid.data(), sid.size());
  reinterpret_cast<POLICY_ACCOUNT_DOMAIN_INFO*>(block)->DomainSid = block + sizeof(POLICY_ACCOUNT_DOMAIN_INFO);
  SimTrackBlock(block);
  *buffer = block;
  return 0;
}

extern "C" NTSTATUS WINAPI LsaFreeMemory(void* buffer) {
  SimNoteCall("LsaFreeMemory");
  if (buffer && !SimUntrackBlock(buffer)) return STATUS_ACCESS_DENIED;
  free(buffer);
  return 0;
}

extern "C" NTSTATUS WINAPI LsaClose(LSA_HANDLE policy) {
  SimNoteCall("LsaClose");
  return SimCloseHandleOfKind(policy, SimHandleKind::Policy) ? 0 : STATUS_ACCESS_DENIED;
}
