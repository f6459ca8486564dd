// The volume functions of the Linux backend: the mounted file systems of this process's
// mount table, enumerated, described and opened the way Windows does it for its volumes.
#include "platform/linux/volumes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/common/case_mapping.h"
#include "platform/linux/mountinfo.h"

namespace {

const char MountTablePath[] = "/proc/self/mountinfo";
const char UuidLinks[] = "/dev/disk/by-uuid";

// Marks the file objects that stand for a whole volume.
char volumeMarker;

// ---- Machine probes ---------------------------------------------------------------------------

// The block device behind a file system: its own device number, or for file systems that
// report an anonymous number (btrfs, for one) the device their source names.
bool BlockDevice(unsigned deviceMajor, unsigned deviceMinor, const char* source, dev_t* device) {
  if (deviceMajor != 0) {
    *device = makedev(deviceMajor, deviceMinor);
    return true;
  }
  struct stat info;
  if (source[0] == '/' && stat(source, &info) == 0 && S_ISBLK(info.st_mode)) {
    *device = info.st_rdev;
    return true;
  }
  return false;
}

bool ReadFlagFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char ch = 0;
  ssize_t n = read(fd, &ch, 1);
  close(fd);
  return n == 1 && ch == '1';
}

bool IsRemovable(unsigned deviceMajor, unsigned deviceMinor, const char* source) {
  dev_t device;
  if (!BlockDevice(deviceMajor, deviceMinor, source, &device)) return false;
  char path[96];
  // A whole disk has the flag itself; a partition's disk is the directory above it.
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u/removable", major(device), minor(device));
  if (access(path, F_OK) == 0) return ReadFlagFile(path);
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../removable", major(device), minor(device));
  return ReadFlagFile(path);
}

// The UUID from the links that udev keeps for every file system it has identified. A
// name that is no UUID (a FAT serial number, say) still identifies the file system; it
// becomes one through the hash.
bool FindUuid(unsigned deviceMajor, unsigned deviceMinor, const char* source,
              unsigned char uuid[16]) {
  dev_t device;
  if (!BlockDevice(deviceMajor, deviceMinor, source, &device)) return false;
  DIR* links = opendir(UuidLinks);
  if (!links) return false;
  bool found = false;
  while (struct dirent* link = readdir(links)) {
    if (link->d_name[0] == '.') continue;
    char path[sizeof UuidLinks + 256 + 1];
    snprintf(path, sizeof path, "%s/%s", UuidLinks, link->d_name);
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != device) continue;
    if (!ParseUuid(link->d_name, uuid)) HashVolumeId(0, 0, "uuid", link->d_name, uuid);
    found = true;
    break;
  }
  closedir(links);
  return found;
}

const VolumeProbes MachineProbes = {IsRemovable, FindUuid};

// ---- The table ------------------------------------------------------------------------------

// The last table built and the text it was built from; a table is rebuilt only when the
// mount table has changed. Both service-mode threads may ask.
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
char* cachedText = nullptr;
LinuxVolumeTable cachedTable = {};

// The whole mount table as one zero-terminated text; null with errno on failure.
char* ReadMountTable(void) {
  int fd = open(MountTablePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  size_t capacity = 16384, length = 0;
  char* text = static_cast<char*>(malloc(capacity));
  while (text) {
    if (length + 1 == capacity) {
      char* larger = static_cast<char*>(realloc(text, capacity * 2));
      if (!larger) {
        free(text);
        text = nullptr;
        errno = ENOMEM;
        break;
      }
      text = larger;
      capacity *= 2;
    }
    ssize_t n = read(fd, text + length, capacity - 1 - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      free(text);
      text = nullptr;
      errno = error;
      break;
    }
    if (n == 0) {
      text[length] = 0;
      break;
    }
    length += static_cast<size_t>(n);
  }
  if (!text && errno == 0) errno = ENOMEM;
  int error = errno;
  close(fd);
  errno = error;
  return text;
}

// Locks the table and brings it up to date; null (unlocked, last error set) on failure.
const LinuxVolumeTable* LockCurrentTable(void) {
  char* text = ReadMountTable();
  if (!text) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  pthread_mutex_lock(&tableLock);
  if (cachedText && strcmp(cachedText, text) == 0) {
    free(text);
    return &cachedTable;
  }
  char* copy = strdup(text);
  LinuxVolumeTable fresh;
  if (!copy || !BuildVolumeTable(copy, &MachineProbes, &fresh)) {
    pthread_mutex_unlock(&tableLock);
    free(text);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  free(cachedText);
  FreeVolumeTable(&cachedTable);
  cachedText = text;
  cachedTable = fresh;
  return &cachedTable;
}

void UnlockTable(void) { pthread_mutex_unlock(&tableLock); }

// ---- Searches -----------------------------------------------------------------------------------

// The names as they stood when the search began, and the next one to give.
struct VolumeSearch {
  int count;
  int next;
  WCHAR names[1][LINUX_VOLUME_NAME_CAPACITY];
};

void ReleaseSearch(LinuxObject* object) { free(object->data); }

bool GiveName(const WCHAR* name, LPWSTR buffer, DWORD length) {
  DWORD n = 0;
  while (name[n]) ++n;
  if (!buffer || n + 1 > length) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  memcpy(buffer, name, (n + 1) * sizeof(WCHAR));
  return true;
}

// The mount id of an open descriptor, from /proc/self/fdinfo; -1 when it cannot be read.
int MountIdOf(int fd) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
  int info = open(path, O_RDONLY | O_CLOEXEC);
  if (info < 0) return -1;
  char text[512];
  ssize_t n = read(info, text, sizeof text - 1);
  close(info);
  if (n <= 0) return -1;
  text[n] = 0;
  const char* field = strstr(text, "mnt_id:");
  return field ? atoi(field + 7) : -1;
}

}  // namespace

extern "C" HANDLE WINAPI FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength) {
  const LinuxVolumeTable* table = LockCurrentTable();
  if (!table) return INVALID_HANDLE_VALUE;
  if (table->count == 0) {
    UnlockTable();
    SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  size_t size = sizeof(VolumeSearch) + (static_cast<size_t>(table->count) - 1) * sizeof(VolumeSearch::names[0]);
  VolumeSearch* search = static_cast<VolumeSearch*>(malloc(size));
  if (!search) {
    UnlockTable();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->count = table->count;
  search->next = 1;
  for (int v = 0; v < table->count; ++v) {
    memcpy(search->names[v], table->volumes[v].name, sizeof search->names[v]);
  }
  UnlockTable();
  if (!GiveName(search->names[0], volumeName, bufferLength)) {
    free(search);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = LinuxNewHandle(LinuxVolumeSearch, -1, search, ReleaseSearch);
  if (!handle) {
    free(search);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

extern "C" BOOL WINAPI FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength) {
  LinuxObject* object = LinuxObjectOf(findVolume, LinuxVolumeSearch);
  if (!object) return FALSE;
  VolumeSearch* search = static_cast<VolumeSearch*>(object->data);
  if (search->next >= search->count) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!GiveName(search->names[search->next], volumeName, bufferLength)) return FALSE;
  ++search->next;
  return TRUE;
}

extern "C" BOOL WINAPI FindVolumeClose(HANDLE findVolume) {
  if (!LinuxObjectOf(findVolume, LinuxVolumeSearch)) return FALSE;
  return LinuxCloseObject(findVolume) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWSTR volumePathNames,
                                                        DWORD bufferLength, LPDWORD returnLength) {
  DWORD length = 0;
  while (volumeName && volumeName[length]) ++length;
  if (length == 0 || volumeName[length - 1] != '\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  const LinuxVolumeTable* table = LockCurrentTable();
  if (!table) return FALSE;
  const LinuxVolume* volume = FindVolumeByName(table, volumeName, true);
  if (!volume) {
    UnlockTable();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  DWORD needed = MountPathList(table, volume, volumePathNames, bufferLength);
  UnlockTable();
  if (returnLength) *returnLength = needed;
  if (needed > bufferLength || !volumePathNames) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  return TRUE;
}

extern "C" UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName) {
  if (!rootPathName) return DRIVE_NO_ROOT_DIR;
  const LinuxVolumeTable* table = LockCurrentTable();
  if (!table) return DRIVE_UNKNOWN;
  const LinuxVolume* volume = FindVolumeByName(table, rootPathName, true);
  if (!volume) volume = FindVolumeByMountPoint(table, rootPathName);
  UINT type = volume ? volume->driveType : DRIVE_NO_ROOT_DIR;
  UnlockTable();
  return type;
}

bool IsVolumeDeviceName(LPCWSTR name) {
  static const WCHAR Prefix[] = TEXT("\\\\?\\Volume{");
  const int prefixLength = sizeof Prefix / sizeof Prefix[0] - 1;
  for (int i = 0; i < prefixLength; ++i) {
    if (!name[i]) return false;
  }
  return CompareTextNoCase(name, prefixLength, Prefix, prefixLength, true) == CSTR_EQUAL;
}

// Opens the first mount point through which the volume itself is reached: the descriptor
// must lie on one of the volume's own mounts, so that a flush reaches this file system and
// no other one mounted over it since the table was read.
HANDLE OpenVolumeDevice(LPCWSTR name) {
  const LinuxVolumeTable* table = LockCurrentTable();
  if (!table) return INVALID_HANDLE_VALUE;
  const LinuxVolume* volume = FindVolumeByName(table, name, false);
  int fd = -1;
  int openError = 0;
  for (int i = 0; volume && fd < 0 && i < volume->pathCount; ++i) {
    const LinuxMountPath& mount = table->paths[volume->firstPath + i];
    fd = open(mount.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      openError = errno;
      continue;
    }
    int mountId = MountIdOf(fd);
    bool ours = mountId < 0;
    for (int k = 0; !ours && k < volume->pathCount; ++k) {
      ours = table->paths[volume->firstPath + k].mountId == mountId;
    }
    if (!ours) {
      close(fd);
      fd = -1;
    }
  }
  // With its trailing backslash the name is the volume's root directory, which Windows
  // opens only with backup semantics.
  bool rootDirectory = !volume && FindVolumeByName(table, name, true);
  UnlockTable();
  if (rootDirectory) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    // A volume that is gone, or can no longer be reached, is not found.
    if (openError != 0) {
      SetLastErrorFromErrno(openError);
    } else {
      SetLastError(ERROR_FILE_NOT_FOUND);
    }
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = LinuxNewHandle(LinuxFile, fd, &volumeMarker, nullptr);
  if (!handle) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

bool IsVolumeObject(const LinuxObject* object) { return object->data == &volumeMarker; }
