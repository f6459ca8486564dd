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
};

// "S-R-A-s1-s2..." of a binary SID.
std::string SimSidString(const void* sid);
// The entries of a binary ACL in order; empty for a malformed one.
std::vector<SimAce> SimAclEntries(const void* acl);
