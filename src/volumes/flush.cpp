// Volume enumeration and flush: walks the volumes once per template, keeps the removable,
// fixed and remote ones that have a mount path, and writes out the buffers of those that
// the template names.
#include "volumes/flush.h"

#include "support/format.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/text.h"
#include "volumes/wildcard.h"

namespace {

const DWORD VOLUME_NAME_CAPACITY = PATH_CAPACITY;
const DWORD MOUNT_LIST_CAPACITY = PATH_CAPACITY;
const DWORD FLUSH_MESSAGE_CAPACITY = 256;

// Reads the mount-path list of a volume. On failure the list is empty and its length 0.
// The length is kept within the buffer and the list ends in its terminator whatever the
// system returned.
DWORD ReadMountPaths(LPCWSTR volumeName, WCHAR (&list)[MOUNT_LIST_CAPACITY]) {
  DWORD length = 0;
  if (!GetVolumePathNamesForVolumeNameW(volumeName, list, MOUNT_LIST_CAPACITY, &length)) {
    list[0] = 0;
    return 0;
  }
  if (length > MOUNT_LIST_CAPACITY) length = MOUNT_LIST_CAPACITY;
  list[length > 0 ? length - 1 : 0] = 0;
  return length;
}

bool TakesPart(UINT driveType) {
  return driveType == DRIVE_REMOVABLE || driveType == DRIVE_FIXED || driveType == DRIVE_REMOTE;
}

// Whether a volume is flushed in a pass: it needs a drive type that takes part and a mount
// path, and then either the pass has no template or the template matches one of its mount
// paths (without the trailing backslash) or its name (with it).
bool IsSelected(LPCWSTR volumeName, LPCWSTR pattern) {
  WCHAR list[MOUNT_LIST_CAPACITY];
  DWORD length = ReadMountPaths(volumeName, list);
  if (!TakesPart(GetDriveTypeW(volumeName))) return false;
  if (length <= 2) return false;
  DWORD at = 0;
  for (;;) {
    WCHAR path[PATH_CAPACITY];
    DWORD n = CopyBounded(path, PATH_CAPACITY, list + at, 0);
    if (n > 0 && path[n - 1] == '\\') path[n - 1] = 0;
    if (!pattern || MatchWildcard(pattern, path, true) || MatchWildcard(pattern, volumeName, true)) {
      return true;
    }
    while (at < length && list[at] != 0) ++at;
    ++at;  // past this path's terminator
    if (at >= length - 1) return false;
  }
}

// One enumeration of the volumes for one template (none: every eligible volume).
// Returns 0, or 3 when the enumeration fails.
int FlushPass(LPCWSTR pattern, bool verbose) {
  WCHAR volumeName[VOLUME_NAME_CAPACITY];
  HANDLE search = FindFirstVolumeW(volumeName, VOLUME_NAME_CAPACITY);
  if (search == INVALID_HANDLE_VALUE) {
    ShowFailure(TEXT("Cannot enumerate volumes (%s)"));
    return 3;
  }
  bool selectedAny = false;
  for (;;) {
    if (IsSelected(volumeName, pattern)) {
      selectedAny = true;
      FlushOneVolume(volumeName, verbose);
    }
    if (!FindNextVolumeW(search, volumeName, VOLUME_NAME_CAPACITY)) {
      if (GetLastError() == ERROR_NO_MORE_FILES) break;
      ShowFailure(TEXT("Cannot find next volume (%s)"));
      FindVolumeClose(search);
      return 3;
    }
  }
  FindVolumeClose(search);
  if (pattern && !selectedAny) ShowError(TEXT("Volume \"%s\" not found"), pattern);
  return 0;
}

}  // namespace

int FlushSelectedVolumes(const TemplateList* templates, bool verbose) {
  const ListNode* node = FirstNode(templates);
  do {
    LPCWSTR pattern = node ? reinterpret_cast<const VolumeTemplate*>(node)->text : nullptr;
    int result = FlushPass(pattern, verbose);
    if (result != 0) return result;
    if (node) node = NextNode(node);
  } while (node);
  return 0;
}

int FlushOneVolume(LPCWSTR volumeName, bool verbose) {
  // The mount paths joined by commas: every terminator but the last path's and the list's.
  WCHAR paths[MOUNT_LIST_CAPACITY];
  DWORD length = ReadMountPaths(volumeName, paths);
  for (DWORD i = 0; i + 2 < length; ++i) {
    if (paths[i] == 0) paths[i] = ',';
  }

  // The device is the volume name without its trailing backslash.
  WCHAR device[PATH_CAPACITY];
  DWORD n = CopyBounded(device, PATH_CAPACITY, volumeName, 0);
  if (n > 0 && device[n - 1] == '\\') device[n - 1] = 0;

  WCHAR suffix[SHORT_TEXT_CAPACITY];
  if (paths[0] != 0) {
    FormatShortText(suffix, TEXT(" (%s)"), paths);
  } else {
    suffix[0] = 0;
  }
  WCHAR message[FLUSH_MESSAGE_CAPACITY];
  FormatText(message, FLUSH_MESSAGE_CAPACITY, TEXT("Flushing %s%s"), volumeName, suffix);
  if (verbose) ShowNote(TEXT("%s"), message);

  HANDLE volume = CreateFileW(device, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) {
    // A volume that went away since the enumeration is passed over without a word.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      ShowFailure(TEXT("Cannot open %s (%s)"), volumeName);
    }
    return 0;
  }
  if (!FlushFileBuffers(volume)) {
    // Volumes whose file system has nothing to write out answer ERROR_INVALID_FUNCTION.
    if (GetLastError() != ERROR_INVALID_FUNCTION) {
      ShowFailure(TEXT("Cannot flush %s (%s)"), volumeName);
    }
  }
  CloseHandle(volume);
  return 0;
}
