// The owner and the allow entries of a DACL, held against the groups that take in every user,
// or every user of a kind. Entries that only pass on to children (inherit-only) do not apply
// to the object itself, and deny entries can only take rights away, so both are passed over.
// A descriptor without a DACL, or with a null one, lets everyone do everything: so do files
// on a file system without security (FAT, exFAT).
#include "service/program_access.h"

#include "startup/program.h"
#include "service/install.h"
#include "support/event_log.h"
#include "support/format.h"
#include "support/last_error_text.h"
#include "support/output.h"

namespace {

// A self-relative descriptor with an owner and the largest DACL fits. Zero-initialised
// storage, so the image carries none of it. Offsets are read as 16 bits and an ACL is at
// most 64 KiB, so with the room behind what the system may fill, no entry of even a
// malformed descriptor can be read from outside the buffer.
#define DESCRIPTOR_CAPACITY 0x10100
BYTE descriptorBytes[0x20100];

// Offsets in a self-relative descriptor and an ACL.
#define CONTROL_AT 2
#define OWNER_AT 4
#define DACL_AT 16
#define ACL_HEADER_BYTES 8

struct BroadGroup {
  BYTE authority;  // the last byte of the identifier authority; the others are 0
  BYTE count;      // sub-authorities
  WORD first;      // the first sub-authority
  WORD last;       // the last one (the RID)
};

const BroadGroup BroadGroups[] = {
    {1, 1, 0, 0},     // S-1-1-0
    {2, 1, 0, 0},     // S-1-2-0
    {5, 1, 2, 2},     // S-1-5-2
    {5, 1, 4, 4},     // S-1-5-4
    {5, 1, 7, 7},     // S-1-5-7
    {5, 1, 11, 11},   // S-1-5-11
    {5, 1, 15, 15},   // S-1-5-15
    {5, 2, 32, 545},  // S-1-5-32-545
    {5, 2, 32, 546},  // S-1-5-32-546
    {5, 5, 21, 513},  // S-1-5-21-x-y-z-513, also a workgroup machine's "None"
    {5, 5, 21, 514},  // S-1-5-21-x-y-z-514
};
const CHAR Words[] =
    "Everyone\0LOCAL\0NETWORK\0INTERACTIVE\0ANONYMOUS LOGON\0Authenticated Users\0"
    "This Organization\0Users\0Guests\0Domain Users\0Domain Guests\0"
    "write to\0delete\0change the permissions of\0"
    "add files to\0delete files in\0change the permissions of";

// The rights that let a holder replace the program, in the order they are named: the words
// follow the group names, the file's first, then the folder's.
#define RIGHT_KINDS 3
#define OWNER_RIGHT 2  // an owner may always change the permissions
#define BROAD_GROUPS 11
const DWORD FileRights[RIGHT_KINDS] = {
    GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA, DELETE,
    WRITE_DAC | WRITE_OWNER};
const DWORD FolderRights[RIGHT_KINDS] = {
    GENERIC_ALL | GENERIC_WRITE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
    DELETE | FILE_DELETE_CHILD, WRITE_DAC | WRITE_OWNER};

DWORD Read32(const BYTE* at) {
  DWORD value;
  __builtin_memcpy(&value, at, 4);
  return value;
}

WORD Read16(const BYTE* at) { return static_cast<WORD>(at[0] | at[1] << 8); }

__attribute__((noinline)) const CHAR* NthWord(int n) {
  const CHAR* words = Words;
  while (n--) {
    while (*words++) {
    }
  }
  return words;
}

// The index of the broad group that the SID at `sid` names, or -1.
int BroadGroupOf(const BYTE* sid) {
  BYTE count = sid[1];
  if (sid[0] != 1 || Read16(sid + 2) != 0 || count == 0) return -1;
  for (int i = 0; i < BROAD_GROUPS; ++i) {
    const BroadGroup& group = BroadGroups[i];
    if (Read32(sid + 4) == static_cast<DWORD>(group.authority) << 24 && count == group.count &&
        Read32(sid + 8) == group.first && Read32(sid + 4 + 4 * count) == group.last) {
      return i;
    }
  }
  return -1;
}

// What a broad group may do to ModulePath, as its index times 4 plus the right's (file or
// folder ones); -1 when no broad group may replace it, -2 when its security could not be
// read (shown).
int FindOpening(bool folder) {
  const BYTE* descriptor = descriptorBytes;
  DWORD needed;
  if (!GetFileSecurityW(ModulePath, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptorBytes),
                        DESCRIPTOR_CAPACITY, &needed)) {
    ShowFailure(TEXT("Cannot read security of %s (%s)"), ModulePath);
    return -2;
  }
  const DWORD* rights = folder ? FolderRights : FileRights;
  WORD owner = Read16(descriptor + OWNER_AT);
  WORD dacl = Read16(descriptor + DACL_AT);
  int group = owner ? BroadGroupOf(descriptor + owner) : -1;
  if (group >= 0) return group * 4 + OWNER_RIGHT;
  if (!(Read16(descriptor + CONTROL_AT) & SE_DACL_PRESENT) || !dacl) return 0;  // Everyone, all
  const BYTE* acl = descriptor + dacl;
  DWORD at = ACL_HEADER_BYTES;
  for (WORD left = Read16(acl + 4); left && at + 8 <= Read16(acl + 2); --left) {
    const BYTE* ace = acl + at;
    if (ace[0] == ACCESS_ALLOWED_ACE_TYPE && !(ace[1] & INHERIT_ONLY_ACE)) {
      int right = 0;
      while (right < RIGHT_KINDS && !(Read32(ace + 4) & rights[right])) ++right;
      group = BroadGroupOf(ace + 8);
      if (right < RIGHT_KINDS && group >= 0) return group * 4 + right;
    }
    at += Read16(ace + 2);
  }
  return -1;
}

}  // namespace

bool ProgramIsGuarded(bool installing) {
  // The file, then its folder: the path cut after its last backslash (so that a drive's root
  // stays a root) for as long as the folder is read. Nothing else reads the path meanwhile:
  // -i runs on the one thread, the service before its loop, and the control handler does not
  // use it.
  LPWSTR cut = ModulePath;
  for (LPWSTR at = ModulePath; *at; ++at) {
    if (*at == '\\') cut = at + 1;
  }
  WCHAR kept = *cut;
  int folder = 0;
  int opening = FindOpening(false);
  if (opening == -1) {
    *cut = 0;
    folder = 1;
    opening = FindOpening(true);
  }
  if (opening >= 0) {
    WCHAR finding[FINDING_CAPACITY];
    FormatText(finding, FINDING_CAPACITY, TEXT("%S may %S %s\r\n%S"), NthWord(opening >> 2),
               NthWord(BROAD_GROUPS + folder * RIGHT_KINDS + (opening & 3)), ModulePath,
               "Install from a folder that only administrators can change, such as "
               "C:\\Program Files\\Sorvanel");
    if (installing) {
      ShowError(TEXT("Cannot install service %s: %s"), ServiceName, finding);
    } else {
      LogServiceError(finding, EVENTLOG_WARNING_TYPE);
    }
  }
  *cut = kept;
  return opening == -1;
}
