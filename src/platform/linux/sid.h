// The binary form of a SID, as Windows lays it out: revision (1), sub-authority count, a
// six-byte big-endian identifier authority, then the 32-bit sub-authorities.
#pragma once

#include "platform/win32.h"

#define SID_HEADER_BYTES 8

// The length of a SID with that many sub-authorities.
DWORD SidLengthFor(BYTE subAuthorityCount);
// Writes the SID into `out`, which holds SidLengthFor(count) bytes.
void WriteSid(void* out, const BYTE authority[6], BYTE subAuthorityCount,
              const DWORD* subAuthorities);
// Revision 1 and no more than 15 sub-authorities.
bool IsValidSidLayout(const void* sid);
