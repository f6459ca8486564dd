// The path from the drive's root down to the program, element by element: the file, the folder
// that holds it, and every folder above. Each element's owner and the allow entries of its
// DACL that apply to it (inherit-only entries pass on to children only, and deny entries can
// only take rights away) may hold a right that replaces the program only when they name an
// account that may do so anyway. A descriptor without a DACL, or with a null one, lets everyone
// do everything: so do files on a file system without security (FAT, exFAT).
#include "service/program_access.h"

#include "service/install.h"
#include "startup/program.h"
#include "support/event_log.h"
#include "support/format.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/text.h"

namespace {

// A self-relative descriptor with an owner and the largest DACL fits. Zero-initialised
// storage, so the image carries none of it. Offsets are read as 16 bits, an ACL is at most
// 64 KiB and a SID is read only up to 15 sub-authorities, so with the room behind what the
// system may fill, no part of even a malformed descriptor is read from outside the buffer.
#define DESCRIPTOR_CAPACITY 0x10100
BYTE descriptorBytes[0x20100];

// Offsets in a self-relative descriptor and an ACL.
#define CONTROL_AT 2
#define OWNER_AT 4
#define DACL_AT 16
#define ACL_HEADER_BYTES 8

// Room for TOKEN_USER and the longest SID behind it.
#define TOKEN_USER_CAPACITY (sizeof(TOKEN_USER) + SID_CAPACITY)

// What an element of the path is to the program.
enum Level { PROGRAM_FILE, PROGRAM_FOLDER, FOLDER_ABOVE, LEVELS };

// The kinds of right that replace the program, in the order they are looked for and named:
// for a folder above, renaming what it holds comes before renaming the folder itself, which
// at a drive's root is no right at all.
enum RightKind { WRITE_RIGHTS, DELETE_CHILD_RIGHT, DELETE_RIGHT, PERMISSION_RIGHTS, RIGHT_KINDS };

// The rights of each kind at each level. Writing the file or adding one beside it (a library
// that the program would load, say) replaces it; a new file or folder in a folder further up
// replaces nothing of ours, but renaming a folder on the path does (DELETE on it, or delete
// child on its parent): the manager then starts whatever sits at the registered path. Whoever
// may change the permissions or the owner may give themselves any of these.
const DWORD Rights[LEVELS][RIGHT_KINDS] = {
    {GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA, 0, DELETE,
     WRITE_DAC | WRITE_OWNER},
    {GENERIC_ALL | GENERIC_WRITE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, FILE_DELETE_CHILD, DELETE,
     WRITE_DAC | WRITE_OWNER},
    {GENERIC_ALL | GENERIC_WRITE, FILE_DELETE_CHILD, DELETE, WRITE_DAC | WRITE_OWNER},
};

// What the holder of a right may do, as the finding says it; an owner may always change the
// permissions.
const CHAR Words[] =
    "write to \0add files to \0delete \0rename or delete \0delete files in \0rename folders in \0"
    "change the permissions of ";
const BYTE WordOf[LEVELS][RIGHT_KINDS] = {{0, 0, 2, 6}, {1, 4, 3, 6}, {1, 5, 3, 6}};

const CHAR Advice[] =
    "Install from a folder that an administrator made under Program Files, such as "
    "C:\\Program Files\\Sorvanel";

// An account that may replace the program, and the kind of right that lets it.
struct Opening {
  const BYTE* account;
  int kind;
};

WORD Read16(const BYTE* at) { return static_cast<WORD>(at[0] | at[1] << 8); }

__attribute__((noinline)) const CHAR* NthWord(int n) {
  const CHAR* words = Words;
  while (n--) {
    while (*words++) {
    }
  }
  return words;
}

// The account the process runs as, read into `buffer`; null after a message when the token
// cannot be read.
const BYTE* ReadProcessUser(DWORD (&buffer)[TOKEN_USER_CAPACITY / sizeof(DWORD)]) {
  HANDLE token = OpenTokenForQuery();
  if (!token) return nullptr;
  DWORD size = sizeof buffer;
  bool read = ReadTokenInformation(token, TokenUser, buffer, &size);
  CloseHandle(token);
  return read ? static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : nullptr;
}

bool MayReplace(const BYTE* account, const BYTE* user) {
  return IsAdministrativeAccount(account) || SameSid(account, user);
}

// Looks in the descriptor that was read for an account, besides those that may replace the
// program anyway, that holds a right of the level's kinds in an entry that applies to the
// object itself, or that owns it.
bool FindOpening(int level, const BYTE* user, Opening* opening) {
  const BYTE* descriptor = descriptorBytes;
  WORD ownerAt = Read16(descriptor + OWNER_AT);
  const BYTE* owner = ownerAt ? descriptor + ownerAt : nullptr;
  WORD daclAt = Read16(descriptor + DACL_AT);
  if (!(Read16(descriptor + CONTROL_AT) & SE_DACL_PRESENT) || !daclAt) {
    *opening = {EveryoneSid, WRITE_RIGHTS};
    return true;
  }
  const BYTE* acl = descriptor + daclAt;
  DWORD at = ACL_HEADER_BYTES;
  for (WORD left = Read16(acl + 4); left && at + 8 <= Read16(acl + 2); --left) {
    const BYTE* ace = acl + at;
    at += Read16(ace + 2);
    // Plain allow entries, and conditional ones, which grant when their condition holds.
    bool allows = ace[0] == ACCESS_ALLOWED_ACE_TYPE || ace[0] == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    if (!allows || (ace[1] & INHERIT_ONLY_ACE)) continue;
    const BYTE* holder = ace + 8;
    DWORD creator = CreatorRid(holder);
    if (creator == OWNER_RIGHTS_RID) holder = owner;
    if (creator <= CREATOR_GROUP_RID || !holder || MayReplace(holder, user)) continue;
    for (int kind = 0; kind < RIGHT_KINDS; ++kind) {
      if (ReadDword(ace + 4) & Rights[level][kind]) {
        *opening = {holder, kind};
        return true;
      }
    }
  }
  *opening = {owner, PERMISSION_RIGHTS};
  return owner && !MayReplace(owner, user);
}

// Walks the path from the file up to the drive's root. 1 with the finding written, 0 when
// only administrators can replace the program, -1 when something could not be read (shown).
// A finding is "<subject> <what it is, or may and what it may do><object>".
int InspectPath(LPWSTR finding) {
  LPCWSTR subject = ModulePath;
  const CHAR* may = "";
  const CHAR* what = "is not on a local fixed drive";
  LPCWSTR object = TEXT("");
  WCHAR element[MAX_PATH];
  WCHAR account[ACCOUNT_NAME_CAPACITY];
  // A drive, its colon and a backslash, and a local fixed drive behind it: a UNC path
  // (\\server\share\...) names another machine's files, a removable or CD-ROM drive whatever
  // medium is in it later, a network drive a share. What stands before the colon is left to
  // the system: it knows no root but a drive letter's.
  WCHAR root[4] = {ModulePath[0], ':', '\\', 0};
  if (ModulePath[1] == ':' && ModulePath[2] == '\\' && GetDriveTypeW(root) == DRIVE_FIXED) {
    DWORD userBuffer[TOKEN_USER_CAPACITY / sizeof(DWORD)];
    const BYTE* user = ReadProcessUser(userBuffer);
    if (!user) return -1;
    DWORD end = CopyBounded(element, MAX_PATH, ModulePath, 0);
    for (int level = PROGRAM_FILE;; level = level == PROGRAM_FILE ? PROGRAM_FOLDER : FOLDER_ABOVE) {
      element[end] = 0;
      // A drive's root is the volume itself, never a link.
      bool atRoot = end == 3;
      DWORD attributes = atRoot ? 0 : GetFileAttributesW(element);
      DWORD needed;
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          !GetFileSecurityW(element, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptorBytes),
                            DESCRIPTOR_CAPACITY, &needed)) {
        ShowFailure(TEXT("Cannot read security of %s (%s)"), element);
        return -1;
      }
      // Its owner may point a junction or symbolic link elsewhere, and GetFileSecurityW reads
      // the target's descriptor, never the link's.
      subject = element;
      what = "is a junction or symbolic link";
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) break;
      Opening opening;
      if (FindOpening(level, user, &opening)) {
        NameAccount(opening.account, account, ACCOUNT_NAME_CAPACITY);
        subject = account;
        may = "may ";
        what = NthWord(WordOf[level][opening.kind]);
        object = element;
        break;
      }
      if (atRoot) return 0;
      // The folder that holds this element: cut after the backslash before its last character.
      do --end;
      while (element[end - 1] != '\\');
    }
  }
  FormatText(finding, FINDING_CAPACITY, TEXT("%s %S%S%s\r\n%S"), subject, may, what, object,
             Advice);
  return 1;
}

}  // namespace

bool ProgramIsGuarded(bool installing) {
  WCHAR finding[FINDING_CAPACITY];
  int found = InspectPath(finding);
  if (found > 0) {
    if (installing) {
      ShowError(TEXT("Cannot install service %s: %s"), ServiceName, finding);
    } else {
      LogServiceError(finding, EVENTLOG_WARNING_TYPE);
    }
  }
  return found == 0;
}
