// The process token and SIDs of the simulated machine.
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "sim/sim_internal.h"
#include "sim/sim_security.h"

namespace {

struct TokenState {
  bool interactive = true;
  bool sizeQuerySucceeds = false;
  std::set<void*> sids;
};

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
