// SIDs: AllocateAndInitializeSid, EqualSid, FreeSid and GetLengthSid.
#include "platform/linux/sid.h"

#include <stdlib.h>
#include <string.h>

#include "platform/linux/constants.h"

DWORD SidLengthFor(BYTE subAuthorityCount) { return SID_HEADER_BYTES + 4u * subAuthorityCount; }

void WriteSid(void* out, const BYTE authority[6], BYTE subAuthorityCount,
              const DWORD* subAuthorities) {
  BYTE* bytes = static_cast<BYTE*>(out);
  bytes[0] = SID_REVISION;
  bytes[1] = subAuthorityCount;
  memcpy(bytes + 2, authority, 6);
  memcpy(bytes + SID_HEADER_BYTES, subAuthorities, 4u * subAuthorityCount);
}

bool IsValidSidLayout(const void* sid) {
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return bytes && bytes[0] == SID_REVISION && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

// Up to eight sub-authorities, the rest of the arguments ignored, as documented.
extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                                BYTE subAuthorityCount, DWORD sub0, DWORD sub1,
                                                DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                                DWORD sub6, DWORD sub7, PSID* sid) {
  if (!authority || !sid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (subAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  void* made = malloc(SidLengthFor(subAuthorityCount));
  if (!made) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  WriteSid(made, authority->Value, subAuthorityCount, subs);
  *sid = made;
  return TRUE;
}

// Equal when revision, count, authority and every sub-authority agree. Unequal valid SIDs
// give FALSE with ERROR_SUCCESS, so that a caller can tell them from invalid ones.
extern "C" BOOL WINAPI EqualSid(PSID sid1, PSID sid2) {
  if (!IsValidSidLayout(sid1) || !IsValidSidLayout(sid2)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const BYTE* a = static_cast<const BYTE*>(sid1);
  const BYTE* b = static_cast<const BYTE*>(sid2);
  // The counts first: a longer SID must not be read past a shorter one's end.
  if (a[1] == b[1] && memcmp(a, b, SidLengthFor(a[1])) == 0) return TRUE;
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

extern "C" void* WINAPI FreeSid(PSID sid) {
  free(sid);
  return nullptr;
}

extern "C" DWORD WINAPI GetLengthSid(PSID sid) {
  if (!IsValidSidLayout(sid)) {
    SetLastError(ERROR_INVALID_SID);
    return 0;
  }
  return SidLengthFor(static_cast<const BYTE*>(sid)[1]);
}
