// The volume functions of the Linux backend: the mounted file systems of this process's
// mount table, enumerated, described and opened the way Windows does it for its volumes.
#include "platform/linux/volumes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/common/case_mapping.h"
#include "platform/linux/mountinfo.h"
#include "platform/linux/process_lock.h"

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

// A table of volumes and the searches that hand out its names.
struct SharedTable {
  LinuxVolumeTable table;
  int searches;
  unsigned number;  // tables are numbered as they are built, from 1
};

// The table of the last enumeration. While a volume search is open, the other volume calls
// answer from it, so that a flush pass reads the mount table once however many volumes it
// looks at; without one, each call reads the mount table afresh, into the same memory. A
// search keeps the table it began with until it ends, even when a newer table has become
// the current one. Both service-mode threads may ask.
ProcessLock tableLock = PROCESS_LOCK_INITIALIZER;
SharedTable* current = nullptr;
const LinuxVolumeTable EmptyTable = {};
int openSearches = 0;
// The position in the table of the volume a search handed out last: the calls that follow
// usually ask about that one. And the buffer it was written to, at least a name long: a
// call that names that very buffer while a search is open is checked against that name as
// one block, with no walk over the name's characters.
int lastGiven = -1;
const WCHAR* lastGivenTo = nullptr;
// That name as it was handed out, and the table it came from, by the number each table
// is given when it is built.
WCHAR lastGivenName[LINUX_VOLUME_NAME_CAPACITY];
unsigned lastGivenFrom = 0;
unsigned tablesBuilt = 0;

// The mount table streams through this buffer, a line at a time, with the table locked:
// the kernel hands it out a page or so per read, so only the first pages are ever touched.
char readBuffer[64 * 1024];

void ReleaseTable(SharedTable* shared) {
  FreeVolumeTable(&shared->table);
  free(shared);
}

// With the table locked: the current table, or an empty one.
const LinuxVolumeTable* CurrentTable(void) { return current ? &current->table : &EmptyTable; }

// Locks the table and builds it anew from the mount table: in the current table's memory
// when no search holds that table, else in a new one. Null (unlocked, last error set) on
// failure.
const LinuxVolumeTable* LockFreshTable(void) {
  int fd = open(MountTablePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  TakeLock(&tableLock);
  SharedTable* target = current && current->searches == 0 ? current : nullptr;
  if (!target) {
    target = static_cast<SharedTable*>(calloc(1, sizeof(SharedTable)));
    if (!target) {
      ReleaseLock(&tableLock);
      close(fd);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  int error = ReadVolumeTable(fd, readBuffer, sizeof readBuffer, &MachineProbes, &target->table);
  close(fd);
  // A table that failed in place is empty now. One built beside the current table takes
  // its place; the searches that hold the old one keep it until they end.
  if (error != 0 && target != current) ReleaseTable(target);
  if (error == 0) {
    current = target;
    current->number = ++tablesBuilt;
  }
  if (error != 0) {
    ReleaseLock(&tableLock);
    SetLastErrorFromErrno(error);
    return nullptr;
  }
  return &current->table;
}

// Locks the table for a call about single volumes: the open search's snapshot, else a
// fresh one.
const LinuxVolumeTable* LockCurrentTable(void) {
  TakeLock(&tableLock);
  if (openSearches > 0) return CurrentTable();
  ReleaseLock(&tableLock);
  return LockFreshTable();
}

void UnlockTable(void) { ReleaseLock(&tableLock); }

// ---- Searches -----------------------------------------------------------------------------------

// The table a search hands out the names of, and the next one to give.
struct VolumeSearch {
  SharedTable* table;
  int next;
};

void EndSearch(VolumeSearch* search) {
  TakeLock(&tableLock);
  if (--search->table->searches == 0 && search->table != current) ReleaseTable(search->table);
  if (--openSearches == 0) lastGivenTo = nullptr;
  ReleaseLock(&tableLock);
  free(search);
}

void ReleaseSearch(LinuxObject* object) { EndSearch(static_cast<VolumeSearch*>(object->data)); }

// Every volume name has the same length, its terminator filling the last unit.
bool GiveName(const LinuxVolume* volume, LPWSTR buffer, DWORD length) {
  if (!buffer || LINUX_VOLUME_NAME_CAPACITY > length) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  VolumeName(volume, buffer);
  return true;
}

// With the table locked: the volume a search handed out last, when `name` is the buffer it
// was written to and still holds its name with the trailing backslash, exactly.
const LinuxVolume* HandedOutVolume(const LinuxVolumeTable* table, LPCWSTR name) {
  if (openSearches == 0 || name != lastGivenTo || !current || lastGivenFrom != current->number ||
      lastGiven < 0 || lastGiven >= table->count) {
    return nullptr;
  }
  return memcmp(name, lastGivenName, sizeof lastGivenName) == 0 ? &table->volumes[lastGiven] : nullptr;
}

// With the table locked: notes the name just handed out into `buffer`.
void NoteGiven(const SharedTable* from, int position, const WCHAR* buffer) {
  lastGiven = position;
  lastGivenTo = buffer;
  lastGivenFrom = from->number;
  memcpy(lastGivenName, buffer, sizeof lastGivenName);
}

// The mount id of an open descriptor, from /proc/self/fdinfo, for kernels whose statx does
// not tell it; -1 when it cannot be read.
int MountIdFromFdinfo(int fd) {
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

bool IsVolumeMount(const LinuxVolumeTable* table, const LinuxVolume* volume, long long mountId) {
  for (int k = 0; k < volume->pathCount; ++k) {
    if (table->paths[volume->firstPath + k].mountId == mountId) return true;
  }
  return false;
}

// Opens a mount point of the volume for syncfs, read-only, if the path still leads to one
// of the volume's own mounts, so that a flush reaches this file system and no other one
// mounted over it since the table was read. The path is first taken as a bare location
// (O_PATH, a final symbolic link not followed) and its type and mount are checked there;
// then that very object is opened through /proc/self/fd, so nothing swapped in meanwhile
// is opened instead. A directory or a regular file is opened (a file mount is how a
// container sees the host's disk); a device node, FIFO or socket never is, as opening one
// may block or act on a device. Returns the descriptor, or -1 with `error` set: 0 when the
// path leads elsewhere now or no longer exists, else the errno of the refusal.
int OpenMountPoint(const LinuxVolumeTable* table, const LinuxVolume* volume, const char* path,
                   int* error) {
  *error = 0;
  int location = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (location < 0) {
    if (errno != ENOENT && errno != ENOTDIR) *error = errno;
    return -1;
  }
  struct statx info;
  long long mountId = -1;
  errno = 0;
  int fd = -1;
  if (statx(location, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &info) != 0) {
    *error = errno;
  } else {
    mountId = (info.stx_mask & STATX_MNT_ID) ? static_cast<long long>(info.stx_mnt_id)
                                               : MountIdFromFdinfo(location);
    if (mountId < 0) *error = errno != 0 ? errno : EIO;  // which mount it is cannot be told
  }
  if (*error == 0 && IsVolumeMount(table, volume, mountId)) {
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (S_ISDIR(info.stx_mode)) {
      flags |= O_DIRECTORY;
    } else if (!S_ISREG(info.stx_mode)) {
      flags = -1;
      *error = EACCES;
    }
    char self[48];
    snprintf(self, sizeof self, "/proc/self/fd/%d", location);
    if (flags != -1) fd = open(self, flags);
    if (flags != -1 && fd < 0) *error = errno;
  }
  close(location);
  return fd;
}

}  // namespace

extern "C" HANDLE WINAPI FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength) {
  const LinuxVolumeTable* table = LockFreshTable();
  if (!table) return INVALID_HANDLE_VALUE;
  if (table->count == 0) {
    UnlockTable();
    SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  VolumeSearch* search = static_cast<VolumeSearch*>(malloc(sizeof(VolumeSearch)));
  if (!search) {
    UnlockTable();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->table = current;
  search->next = 1;
  ++current->searches;
  ++openSearches;
  UnlockTable();
  HANDLE handle = GiveName(&table->volumes[0], volumeName, bufferLength)
                      ? LinuxNewHandle(LinuxVolumeSearch, -1, search, ReleaseSearch)
                      : nullptr;
  if (!handle) {
    EndSearch(search);
    return INVALID_HANDLE_VALUE;
  }
  TakeLock(&tableLock);
  NoteGiven(search->table, 0, volumeName);
  ReleaseLock(&tableLock);
  return handle;
}

extern "C" BOOL WINAPI FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength) {
  LinuxObject* object = LinuxObjectOf(findVolume, LinuxVolumeSearch);
  if (!object) return FALSE;
  VolumeSearch* search = static_cast<VolumeSearch*>(object->data);
  // The search's table stays as it is while the search holds it.
  const LinuxVolumeTable* table = &search->table->table;
  if (search->next >= table->count) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!GiveName(&table->volumes[search->next], volumeName, bufferLength)) return FALSE;
  TakeLock(&tableLock);
  NoteGiven(search->table, search->next, volumeName);
  ReleaseLock(&tableLock);
  ++search->next;
  return TRUE;
}

extern "C" BOOL WINAPI FindVolumeClose(HANDLE findVolume) {
  if (!LinuxObjectOf(findVolume, LinuxVolumeSearch)) return FALSE;
  return LinuxCloseObject(findVolume) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWSTR volumePathNames,
                                                        DWORD bufferLength, LPDWORD returnLength) {
  TakeLock(&tableLock);
  const LinuxVolumeTable* table = CurrentTable();
  const LinuxVolume* volume = HandedOutVolume(table, volumeName);
  if (!volume) {
    ReleaseLock(&tableLock);
    DWORD length = 0;
    while (volumeName && volumeName[length]) ++length;
    if (length == 0 || volumeName[length - 1] != '\\') {
      SetLastError(ERROR_INVALID_NAME);
      return FALSE;
    }
    table = LockCurrentTable();
    if (!table) return FALSE;
    volume = FindVolumeByName(table, volumeName, true, lastGiven);
    if (!volume) {
      UnlockTable();
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
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
  const LinuxVolume* volume = HandedOutVolume(table, rootPathName);
  if (!volume) volume = FindVolumeByName(table, rootPathName, true, lastGiven);
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

// Opens the first mount point, in table order, through which the volume itself is reached
// now (see OpenMountPoint).
HANDLE OpenVolumeDevice(LPCWSTR name) {
  const LinuxVolumeTable* table = LockCurrentTable();
  if (!table) return INVALID_HANDLE_VALUE;
  const LinuxVolume* volume = FindVolumeByName(table, name, false, lastGiven);
  int fd = -1;
  int openError = 0;
  for (int i = 0; volume && fd < 0 && i < volume->pathCount; ++i) {
    int error;
    fd = OpenMountPoint(table, volume, table->paths[volume->firstPath + i].path, &error);
    if (error != 0) openError = error;
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
