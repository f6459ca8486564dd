// Volume enumeration and flush: walks the volumes once per template, keeps the removable,
// fixed and remote ones that have a mount path, and writes out the buffers of those that
// the template names.
#include "volumes/flush.h"

#include "support/last_error_text.h"
#include "support/output.h"
#include "support/runtime.h"
#include "support/text.h"
#include "volumes/wildcard.h"

namespace {

const DWORD VOLUME_NAME_CAPACITY = PATH_CAPACITY;
const DWORD MOUNT_LIST_CAPACITY = PATH_CAPACITY;

// What the flushes of a run came to, bit by bit: a volume written out, a volume that could
// not be opened or flushed (and was reported).
#define VOLUME_FLUSHED 1
#define VOLUME_FAILED 2

// A volume's mount-path list: in the fixed buffer, or in a heap block when it is longer.
struct MountPathList {
  LPWSTR text;
  DWORD length;  // in characters, every terminator counted; 0 when it could not be read
  DWORD heapCharacters;  // the heap block's size; 0 while `text` is the fixed buffer
  WCHAR fixed[MOUNT_LIST_CAPACITY];
};

void FreeMountPaths(MountPathList* list) {
  if (list->heapCharacters) FreeMemory(list->text, list->heapCharacters * sizeof(WCHAR));
  list->heapCharacters = 0;
}

// Reads the mount-path list of a volume. A list that does not fit in the fixed buffer is read
// again into a heap block of the size the system asks for: cut off or skipped, a volume with
// many folder mounts would never be flushed, not even by its drive letter. Any other failure
// leaves the list empty (length 0). The list always ends in its terminator. Returns 0, or 8
// after "No memory ..."; the caller frees the list in both cases.
int ReadMountPaths(LPCWSTR volumeName, MountPathList* list) {
  list->text = list->fixed;
  list->heapCharacters = 0;
  DWORD capacity = MOUNT_LIST_CAPACITY;
  DWORD length;
  for (;;) {
    length = 0;
    if (GetVolumePathNamesForVolumeNameW(volumeName, list->text, capacity, &length)) {
      if (length > capacity) length = capacity;
      break;
    }
    // Only a longer size can help; the list may also have grown since the last call.
    if (GetLastError() != ERROR_MORE_DATA || length <= capacity) {
      length = 0;
      break;
    }
    FreeMountPaths(list);
    capacity = length;
    list->text = static_cast<LPWSTR>(AllocateMemory(capacity * sizeof(WCHAR)));
    if (!list->text) {
      list->text = list->fixed;
      ShowError(TEXT("No memory for mount paths"));
      return 8;
    }
    list->heapCharacters = capacity;
  }
  list->length = length;
  list->text[length > 0 ? length - 1 : 0] = 0;
  return 0;
}

bool TakesPart(UINT driveType) {
  return driveType == DRIVE_REMOVABLE || driveType == DRIVE_FIXED || driveType == DRIVE_REMOTE;
}

// Whether a volume is flushed in a pass: it needs a drive type that takes part and a mount
// path, and then either the pass has no template or the template matches one of its mount
// paths (without the trailing backslash) or its name (with it).
bool IsSelected(LPCWSTR volumeName, LPCWSTR pattern, const MountPathList& list) {
  if (!TakesPart(GetDriveTypeW(volumeName))) return false;
  DWORD length = list.length;
  if (length <= 2) return false;
  DWORD at = 0;
  for (;;) {
    WCHAR path[PATH_CAPACITY];
    DWORD n = CopyBounded(path, PATH_CAPACITY, list.text + at, 0);
    if (n > 0 && path[n - 1] == '\\') path[n - 1] = 0;
    if (!pattern || MatchWildcard(pattern, path, true) || MatchWildcard(pattern, volumeName, true)) {
      return true;
    }
    while (at < length && list.text[at] != 0) ++at;
    ++at;  // past this path's terminator
    if (at >= length - 1) return false;
  }
}

// One enumeration of the volumes for one template (none: every eligible volume); what its
// flushes came to is added to *outcome. Returns 0, 3 when the enumeration fails, or 8.
int FlushPass(LPCWSTR pattern, bool verbose, int* outcome) {
  WCHAR volumeName[VOLUME_NAME_CAPACITY];
  HANDLE search = FindFirstVolumeW(volumeName, VOLUME_NAME_CAPACITY);
  if (search == INVALID_HANDLE_VALUE) {
    ShowFailure(TEXT("Cannot enumerate volumes (%s)"));
    return 3;
  }
  bool selectedAny = false;
  int result = 0;
  for (;;) {
    MountPathList list;
    result = ReadMountPaths(volumeName, &list);
    if (result == 0 && IsSelected(volumeName, pattern, list)) {
      selectedAny = true;
      *outcome |= FlushOneVolume(volumeName, list.text, list.length, verbose);
    }
    FreeMountPaths(&list);
    if (result != 0) break;
    if (!FindNextVolumeW(search, volumeName, VOLUME_NAME_CAPACITY)) {
      if (GetLastError() == ERROR_NO_MORE_FILES) break;
      ShowFailure(TEXT("Cannot find next volume (%s)"));
      result = 3;
      break;
    }
  }
  FindVolumeClose(search);
  if (result == 0 && pattern && !selectedAny) ShowError(TEXT("Volume \"%s\" not found"), pattern);
  return result;
}

}  // namespace

int FlushSelectedVolumes(const TemplateList* templates, bool verbose) {
  int outcome = 0;
  const ListNode* node = FirstNode(templates);
  do {
    LPCWSTR pattern = node ? reinterpret_cast<const VolumeTemplate*>(node)->text : nullptr;
    int result = FlushPass(pattern, verbose, &outcome);
    if (result != 0) return result;
    if (node) node = NextNode(node);
  } while (node);
  // Volumes were tried and not one was written out: each failure was shown, but the run as a
  // whole failed, and a script must not take it for a flush.
  return outcome == VOLUME_FAILED ? 7 : 0;
}

int FlushOneVolume(LPCWSTR volumeName, LPWSTR paths, DWORD length, bool verbose) {
  // The mount paths joined by commas: every terminator but the last path's and the list's.
  for (DWORD i = 0; i + 2 < length; ++i) {
    if (paths[i] == 0) paths[i] = ',';
  }
  // Names and paths are arguments, never part of the format.
  if (verbose) ShowNote(TEXT("Flushing %s (%s)"), volumeName, paths);

  // The device is the volume name without its trailing backslash.
  WCHAR device[PATH_CAPACITY];
  DWORD n = CopyBounded(device, PATH_CAPACITY, volumeName, 0);
  if (n > 0 && device[n - 1] == '\\') device[n - 1] = 0;

  HANDLE volume = CreateFileW(device, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) {
    ShowFailure(TEXT("Cannot open %s (%s)"), volumeName);
    // A volume that went away since the enumeration is said to be gone, as any failed open
    // is, but did not fail the run: there was nothing left to write out.
    return GetLastError() != ERROR_FILE_NOT_FOUND ? VOLUME_FAILED : 0;
  }
  int outcome = VOLUME_FLUSHED;
  // Volumes whose file system has nothing to write out answer ERROR_INVALID_FUNCTION.
  if (!FlushFileBuffers(volume) && GetLastError() != ERROR_INVALID_FUNCTION) {
    ShowFailure(TEXT("Cannot flush %s (%s)"), volumeName);
    outcome = VOLUME_FAILED;
  }
  CloseHandle(volume);
  return outcome;
}
