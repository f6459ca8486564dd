// The token, SIDs, ACLs and security descriptors in their Windows layouts, and the service
// control manager that Linux does not have.
#include <string.h>

#include <string>
#include <vector>

#include "backend_test.h"

namespace {

class Security : public BackendTest {};

std::vector<BYTE> Bytes(const void* data, size_t length) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(bytes, bytes + length);
}

PSID MakeSid(BYTE authority, BYTE count, DWORD sub0, DWORD sub1 = 0) {
  SID_IDENTIFIER_AUTHORITY id = {{0, 0, 0, 0, 0, authority}};
  PSID sid = nullptr;
  EXPECT_TRUE(AllocateAndInitializeSid(&id, count, sub0, sub1, 0, 0, 0, 0, 0, 0, &sid));
  return sid;
}

// What IsInteractiveLogon does: size, read, compare every group with S-1-5-4.
TEST_F(Security, TokenHoldsEveryoneAndInteractive) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  SetLastError(0);
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_GT(needed, sizeof(TOKEN_GROUPS));
  std::vector<BYTE> buffer(needed);
  DWORD again = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, buffer.data(), needed - 1, &again));
  EXPECT_EQ(needed, again);
  ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), needed, &again));

  const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  ASSERT_EQ(2u, groups->GroupCount);
  const std::vector<BYTE> everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  const std::vector<BYTE> interactive = {1, 1, 0, 0, 0, 0, 0, 5, 4, 0, 0, 0};
  EXPECT_EQ(everyone, Bytes(groups->Groups[0].Sid, GetLengthSid(groups->Groups[0].Sid)));
  EXPECT_EQ(interactive, Bytes(groups->Groups[1].Sid, GetLengthSid(groups->Groups[1].Sid)));
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const BYTE* sid = static_cast<const BYTE*>(groups->Groups[i].Sid);
    // The SIDs lie inside the caller's buffer.
    EXPECT_GE(sid, buffer.data());
    EXPECT_LE(sid + GetLengthSid(groups->Groups[i].Sid), buffer.data() + needed);
    EXPECT_EQ(static_cast<DWORD>(SE_GROUP_ENABLED), groups->Groups[i].Attributes & SE_GROUP_ENABLED);
  }
  PSID wanted = MakeSid(5, 1, SECURITY_INTERACTIVE_RID);
  EXPECT_FALSE(EqualSid(groups->Groups[0].Sid, wanted));
  EXPECT_TRUE(EqualSid(groups->Groups[1].Sid, wanted));
  FreeSid(wanted);
  EXPECT_TRUE(CloseHandle(token));

  SetLastError(0);
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Security, SidLayoutAndComparison) {
  PSID admins = MakeSid(5, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  const std::vector<BYTE> expected = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
  ASSERT_EQ(16u, GetLengthSid(admins));
  EXPECT_EQ(expected, Bytes(admins, 16));
  PSID same = MakeSid(5, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  PSID otherAuthority = MakeSid(1, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  PSID shorter = MakeSid(5, 1, SECURITY_BUILTIN_DOMAIN_RID);
  EXPECT_TRUE(EqualSid(admins, same));
  EXPECT_FALSE(EqualSid(admins, otherAuthority));
  EXPECT_FALSE(EqualSid(admins, shorter));
  EXPECT_FALSE(EqualSid(shorter, admins));
  EXPECT_EQ(nullptr, FreeSid(admins));
  FreeSid(same);
  FreeSid(otherAuthority);
  FreeSid(shorter);

  SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
  PSID sid = nullptr;
  SetLastError(0);
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), GetLastError());
  BYTE broken[12] = {2, 1, 0, 0, 0, 0, 0, 5, 4, 0, 0, 0};  // revision 2 does not exist
  EXPECT_EQ(0u, GetLengthSid(broken));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), GetLastError());
}

// An ACL of the kind a service builds for its event: Everyone may signal and wait, SYSTEM
// and Administrators have every access.
TEST_F(Security, AclEntriesAreLaidOutBehindTheHeader) {
  PSID everyone = MakeSid(1, 1, SECURITY_WORLD_RID);
  PSID system = MakeSid(5, 1, SECURITY_LOCAL_SYSTEM_RID);
  PSID admins = MakeSid(5, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  const DWORD size = 8 + (8 + 12) + (8 + 12) + (8 + 16);
  alignas(4) BYTE storage[128];
  memset(storage, 0xEE, sizeof storage);
  PACL acl = reinterpret_cast<PACL>(storage);
  ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
  EXPECT_EQ(size, acl->AclSize);
  EXPECT_EQ(0, acl->AceCount);
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, EVENT_MODIFY_STATE | SYNCHRONIZE, everyone));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, system));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, admins));
  EXPECT_EQ(3, acl->AceCount);
  const std::vector<BYTE> firstAce = {0, 0, 20, 0, 0x02, 0, 0x10, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(firstAce, Bytes(storage + 8, 20));
  const std::vector<BYTE> lastAceHead = {0, 0, 24, 0, 0x03, 0, 0x1F, 0};
  EXPECT_EQ(lastAceHead, Bytes(storage + 48, 8));
  EXPECT_EQ(0xEE, storage[size]);  // nothing written past the ACL

  SetLastError(0);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, EVENT_ALL_ACCESS, everyone));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED), GetLastError());
  EXPECT_EQ(3, acl->AceCount);

  EXPECT_FALSE(InitializeAcl(acl, 7, ACL_REVISION));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_FALSE(InitializeAcl(acl, 64, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  FreeSid(everyone);
  FreeSid(system);
  FreeSid(admins);
}

TEST_F(Security, DescriptorWithDacl) {
  SECURITY_DESCRIPTOR descriptor;
  memset(&descriptor, 0x55, sizeof descriptor);
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(1, descriptor.Revision);
  EXPECT_EQ(0, descriptor.Control);
  EXPECT_EQ(nullptr, descriptor.Dacl);
  EXPECT_EQ(nullptr, descriptor.Owner);
  ACL acl;
  ASSERT_TRUE(InitializeAcl(&acl, sizeof acl, ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
  EXPECT_EQ(0x0004, descriptor.Control);  // SE_DACL_PRESENT
  EXPECT_EQ(&acl, descriptor.Dacl);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, TRUE));  // the null DACL
  EXPECT_EQ(0x000C, descriptor.Control);  // present and defaulted
  EXPECT_EQ(nullptr, descriptor.Dacl);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, FALSE, &acl, TRUE));
  EXPECT_EQ(0, descriptor.Control & 0x0004);

  SetLastError(0);
  EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, 2));
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

TEST_F(Security, NoServiceControlManager) {
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), GetLastError());
  WCHAR name[] = u"";
  const SERVICE_TABLE_ENTRYW table[] = {{name, nullptr}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), GetLastError());
}

}  // namespace
