#include "startup/program.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/runtime.h"

namespace {

const WCHAR TokenReadFailure[] = TEXT("Cannot get token info (%s)");

// Looks for the INTERACTIVE group (S-1-5-4) among the token's groups.
bool TokenHoldsInteractive(HANDLE token, bool* interactive) {
  DWORD size = 0;
  if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ShowFailure(TEXT("Cannot open token info size (%s)"));
    return false;
  }
  TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(AllocateMemory(size));
  if (!groups) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ShowFailure(TokenReadFailure);
    return false;
  }
  if (!ReadTokenInformation(token, TokenGroups, groups, &size)) {
    FreeMemory(groups, size);
    return false;
  }
  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  PSID interactiveSid = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0,
                                &interactiveSid)) {
    ShowFailure(TEXT("Cannot init SID (%s)"));
    FreeMemory(groups, size);
    return false;
  }
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (EqualSid(groups->Groups[i].Sid, interactiveSid)) {
      *interactive = true;
      break;
    }
  }
  FreeSid(interactiveSid);
  FreeMemory(groups, size);
  return true;
}

}  // namespace

HANDLE OpenTokenForQuery(void) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ShowFailure(TEXT("Cannot open process token (%s)"));
    return nullptr;
  }
  return token;
}

bool ReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD* size) {
  if (GetTokenInformation(token, kind, buffer, *size, size)) return true;
  ShowFailure(TokenReadFailure);
  return false;
}

bool IsInteractiveLogon(bool* interactive) {
  *interactive = false;
  HANDLE token = OpenTokenForQuery();
  if (!token) return false;
  bool checked = TokenHoldsInteractive(token, interactive);
  CloseHandle(token);
  return checked;
}
