// Security descriptors and access-control lists of the simulated machine, in their real
// binary layouts, and readers that turn them back into plain values for the tests.
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

struct SimAce {
  int type;             // ACCESS_ALLOWED_ACE_TYPE for every entry this system writes
  DWORD mask;
  std::string sid;      // "S-1-5-18" and the like
  int flags = 0;        // INHERIT_ONLY_ACE and the other inheritance flags
};

// The machine's account domain: its own users and groups are this SID and a RID.
const std::string SimMachineDomain = "S-1-5-21-111-222-333";
// The SIDs that LookupAccountSidW was asked for, in order, as text.
std::vector<std::string> SimAccountLookups();

// "S-R-A-s1-s2..." of a binary SID, and the binary SID of such a text.
std::string SimSidString(const void* sid);
std::vector<BYTE> SimSidBytes(const std::string& text);
// The entries of a binary ACL in order; empty for a malformed one.
std::vector<SimAce> SimAclEntries(const void* acl);

// The owner and DACL that GetFileSecurityW gives for a file or folder (a path, case ignored),
// in the self-relative layout of Windows, and whether GetFileAttributesW shows it as a reparse
// point (a junction or symbolic link). Every path without one set has the descriptor of a
// folder under Program Files: owner Administrators; SYSTEM and Administrators full control,
// Users read and execute, CREATOR OWNER full control inherit-only. A path that ends in a
// backslash is a folder, any other a file.
struct SimFileSecurity {
  std::string owner;        // "" for none
  bool daclPresent = true;  // false: no DACL at all, as on FAT
  bool nullDacl = false;    // present but null: everyone has every right
  std::vector<SimAce> aces;
  bool reparsePoint = false;
};
void SimSetFileSecurity(const std::u16string& path, const SimFileSecurity& security);
// What GetFileSecurityW and GetKernelObjectSecurity give: the parts of the descriptor that
// `requested` names, in the self-relative layout (the header, the owner, then the DACL), or
// ERROR_INSUFFICIENT_BUFFER with the length needed.
BOOL SimGiveDescriptor(const SimFileSecurity& security, SECURITY_INFORMATION requested,
                       PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD lengthNeeded);
