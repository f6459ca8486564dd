// Linux file systems seen as Windows volumes. The mount table (/proc/self/mountinfo) is
// read into a table of volumes: one per mounted file system (one device number), with its
// reachable mount points in table order, a drive type and a volume GUID name. Building the
// table and every search in it take time linear in the mount table's size, and memory a
// little more than the mount points' text.
//
// Everything here works on texts and answers given by the caller, so the rules can be
// tested on sample tables; volumes.cpp feeds it the real files. The lines and names are
// handled in mountinfo.cpp, the table in volume_table.cpp, which mount points are reached
// in reachability.cpp.
#pragma once

#include <stddef.h>

#include "platform/linux/arena.h"
#include "platform/linux/hash_index.h"
#include "platform/win32.h"

// "\\?\Volume{" + 36 + "}\" and the terminator.
#define LINUX_VOLUME_NAME_CAPACITY 50

// What the file-system type says about a mount.
enum MountKind {
  MountPseudo,   // a kernel interface (proc, sysfs, cgroup2, ...): not a volume at all
  MountRemote,   // a network file system: DRIVE_REMOTE
  MountRamDisk,  // memory only (tmpfs, ramfs): DRIVE_RAMDISK
  MountCdRom,    // optical media and read-only images: DRIVE_CDROM
  MountLocal,    // anything else: DRIVE_REMOVABLE or DRIVE_FIXED by its block device
};

// One line of the mount table, its fields decoded in place.
struct MountEntry {
  int mountId;
  int parentId;
  unsigned major;
  unsigned minor;
  const char* root;        // the directory of the file system that is mounted
  const char* mountPoint;  // where it is mounted
  const char* fsType;
  const char* source;
  size_t mountPointLength;  // the decoded lengths, in bytes
  size_t fsTypeLength;
  size_t sourceLength;
};

// One mount as the table keeps it while it is built, in the arena: the numbers, then the
// mount point, the file-system type and the source, each decoded and zero-terminated.
struct MountRecord {
  int mountId;
  int parentId;
  unsigned major;
  unsigned minor;
  unsigned pointLength;  // bytes of the mount point
  unsigned size;         // bytes of the record with its texts, to the next record
};

inline const char* MountPointOf(const MountRecord* mount) { return reinterpret_cast<const char*>(mount + 1); }
inline const char* FileSystemTypeOf(const MountRecord* mount) { return MountPointOf(mount) + mount->pointLength + 1; }

struct LinuxMountPath {
  int mountId;
  unsigned length : 31;  // in bytes
  unsigned ascii : 1;    // so its UTF-16 length is its length
  const char* path;
};

struct LinuxVolume {
  unsigned char id[16];  // what its name is made from (FormatVolumeName)
  unsigned major;
  unsigned minor;
  UINT driveType;
  int firstPath;  // index into the table's paths
  int pathCount;  // reachable mount points; may be 0
};

// The table and everything it points to live in its arena, which a table built again
// reuses. A table that is all zeros is empty and may be begun.
struct LinuxVolumeTable {
  Arena arena;
  // The mounts, one record after the other, while the table is built; where the records
  // in small pages end when the rest moved on to huge pages, and where those begin.
  char* records;
  char* recordsBreak;
  char* recordsResume;
  int mountCount;
  LinuxVolume* volumes;
  int count;
  LinuxMountPath* paths;
  int pathCount;
  HashIndex names;  // the volumes by the identity their names spell
};

// What the table builder asks about the machine. Either function may be null.
struct VolumeProbes {
  // Whether the block device behind a file system reports removable media.
  bool (*isRemovable)(unsigned major, unsigned minor, const char* source);
  // The file system's UUID in 16 bytes, where the machine knows one.
  bool (*findUuid)(unsigned major, unsigned minor, const char* source, unsigned char uuid[16]);
};

// Replaces each \ooo (three octal digits) by its byte, in place; returns the new length.
size_t DecodeMountField(char* field);

// Splits one line (without its line end) into its fields, decoding them; false for a line
// that is not a mount table line. A caller that knows the line holds no backslash says so
// (`escapes` false), and the line is not searched for escapes.
bool ParseMountInfoLine(char* line, MountEntry* entry, bool escapes = true);

MountKind ClassifyFileSystem(const char* fsType);

// Reads "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" or the same 32 hexadecimal digits without
// dashes; false for anything else.
bool ParseUuid(const char* text, unsigned char uuid[16]);

// A stable made-up identity for a file system without a UUID: a hash of its device number,
// type and source, shaped as a version 8 UUID. Another salt gives another identity, for a
// name that is taken already.
void HashVolumeId(unsigned major, unsigned minor, const char* fsType, const char* source,
                  unsigned char id[16], unsigned salt = 0);

// \\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\ in lower case.
void FormatVolumeName(const unsigned char id[16], WCHAR name[LINUX_VOLUME_NAME_CAPACITY]);
// The identity whose digits a name has where FormatVolumeName writes them, in either case;
// false when one of them is no hexadecimal digit. `name` has at least 47 units; the others
// are not looked at.
bool ReadVolumeNameDigits(const WCHAR* name, unsigned char id[16]);

// A table is built line by line, so that the mount table's text is never held whole:
// begun (anew, in the memory it has, when it was built before), given each line, and
// finished. A line is decoded in place; lines that are no mount table lines are passed
// over. False when memory runs out; the table is empty then.
bool BeginVolumeTable(LinuxVolumeTable* table);
bool AddMountLine(LinuxVolumeTable* table, char* line, bool escapes = true);
bool FinishVolumeTable(LinuxVolumeTable* table, const VolumeProbes* probes);

// Builds the table from every line of a text, which is decoded in place.
bool BuildVolumeTable(char* text, const VolumeProbes* probes, LinuxVolumeTable* table);
// Builds the table from the lines read from `fd` as they come, through `buffer`, which
// holds what was read of a line so far; a line longer than the buffer is held in a larger
// heap block for a moment. Returns 0, or the errno value of the failure (ENOMEM when
// memory runs out).
int ReadVolumeTable(int fd, char* buffer, size_t capacity, const VolumeProbes* probes,
                    LinuxVolumeTable* table);
void FreeVolumeTable(LinuxVolumeTable* table);

// The volume's name: \\?\Volume{GUID}\ with its trailing backslash.
inline void VolumeName(const LinuxVolume* volume, WCHAR name[LINUX_VOLUME_NAME_CAPACITY]) {
  FormatVolumeName(volume->id, name);
}

// The volume with this name (case ignored), with or without the trailing backslash as asked.
// `likely` is the position of the volume the caller probably means (or -1): it is checked
// first, by an exact comparison, before the index is searched.
const LinuxVolume* FindVolumeByName(const LinuxVolumeTable* table, LPCWSTR name,
                                    bool trailingBackslash, int likely = -1);
// The volume mounted at this path (a mount point, with or without a trailing '/').
const LinuxVolume* FindVolumeByMountPoint(const LinuxVolumeTable* table, LPCWSTR path);

// The mount points as a Windows mount-path list: each path in UTF-16 with its terminator,
// then one more terminator (just that one for a volume without mount points). A path that
// ends in a backslash gets one more, because the volume code takes one trailing backslash
// off every mount path, as Windows paths need; so every mount point reads as it is there.
// Returns the length the list needs; the list is written only when it fits in `capacity`.
DWORD MountPathList(const LinuxVolumeTable* table, const LinuxVolume* volume, LPWSTR list,
                    DWORD capacity);
