// The process token. A Linux user who runs the program sits at a terminal or in a session
// of their own, so the token is that of an interactive logon: its groups are Everyone
// (S-1-1-0) and INTERACTIVE (S-1-5-4).
#include <stddef.h>

#include "platform/linux/constants.h"
#include "platform/linux/handles.h"
#include "platform/linux/sid.h"

namespace {

struct GroupSid {
  BYTE authority[6];
  BYTE count;
  DWORD sub;
};

const GroupSid TokenGroupSids[] = {
    {SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID},
    {SECURITY_NT_AUTHORITY, 1, SECURITY_INTERACTIVE_RID},
};
const DWORD GroupCount = sizeof TokenGroupSids / sizeof TokenGroupSids[0];
const DWORD GroupAttributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

// The TOKEN_GROUPS record, its SID_AND_ATTRIBUTES array, then the SIDs they point to, all
// in the caller's one buffer, as Windows returns them.
DWORD TokenGroupsLength() {
  DWORD length = offsetof(TOKEN_GROUPS, Groups) + GroupCount * sizeof(SID_AND_ATTRIBUTES);
  for (const GroupSid& group : TokenGroupSids) length += SidLengthFor(group.count);
  return length;
}

void WriteTokenGroups(void* buffer) {
  TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(buffer);
  BYTE* sids = static_cast<BYTE*>(buffer) + offsetof(TOKEN_GROUPS, Groups) +
               GroupCount * sizeof(SID_AND_ATTRIBUTES);
  groups->GroupCount = GroupCount;
  for (DWORD i = 0; i < GroupCount; ++i) {
    const GroupSid& group = TokenGroupSids[i];
    WriteSid(sids, group.authority, group.count, &group.sub);
    groups->Groups[i].Sid = sids;
    groups->Groups[i].Attributes = GroupAttributes;
    sids += SidLengthFor(group.count);
  }
}

}  // namespace

extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
  if (process != LINUX_CURRENT_PROCESS) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!token) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  HANDLE handle = LinuxNewHandle(LinuxToken, -1, nullptr, nullptr);
  if (!handle) return FALSE;
  *token = handle;
  return TRUE;
}

// Only the groups can be asked for. A buffer that is too small (or none) gives
// ERROR_INSUFFICIENT_BUFFER with the needed length.
extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                           LPVOID information, DWORD length,
                                           LPDWORD returnLength) {
  if (!LinuxObjectOf(token, LinuxToken)) return FALSE;
  if (!returnLength) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (informationClass != TokenGroups) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD needed = TokenGroupsLength();
  *returnLength = needed;
  if (!information || length < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  WriteTokenGroups(information);
  return TRUE;
}
