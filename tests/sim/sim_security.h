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

// "S-R-A-s1-s2..." of a binary SID, and the binary SID of such a text.
std::string SimSidString(const void* sid);
std::vector<BYTE> SimSidBytes(const std::string& text);
// The entries of a binary ACL in order; empty for a malformed one.
std::vector<SimAce> SimAclEntries(const void* acl);

// The owner and DACL that GetFileSecurityW gives for a file or folder (a path, case ignored),
// in the self-relative layout of Windows. Every path without one set has the descriptor of
// a folder under Program Files: owner Administrators; SYSTEM and Administrators full
// control, Users read and execute, CREATOR OWNER full control inherit-only.
struct SimFileSecurity {
  std::string owner;        // "" for none
  bool daclPresent = true;  // false: no DACL at all, as on FAT
  bool nullDacl = false;    // present but null: everyone has every right
  std::vector<SimAce> aces;
};
void SimSetFileSecurity(const std::u16string& path, const SimFileSecurity& security);
