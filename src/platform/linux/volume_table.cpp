// The mount table as a table of volumes: grouping the mounts by device, their reachable
// mount points, the volume names, and the searches by name and by mount point. Every step
// is one walk over the table with hash indexes, so a host with thousands of mounts costs
// thousands of steps, not millions.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/common/case_mapping.h"
#include "platform/common/utf8.h"
#include "platform/linux/mountinfo.h"
#include "platform/linux/reachability.h"

namespace {

// The characters of a volume name that identify it: all but the trailing backslash.
const int NameKeyLength = LINUX_VOLUME_NAME_CAPACITY - 2;

uint64_t DeviceHash(unsigned major, unsigned minor) { return HashNumbers(major, minor); }

WCHAR FoldAscii(WCHAR ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<WCHAR>(ch + 32) : ch; }

// The hash of a volume's identity, under which the index of names keeps it: an identity is
// a hash or a UUID, as good as random, so its two halves folded together will do.
uint64_t IdHash(const unsigned char id[16]) {
  uint64_t halves[2];
  memcpy(halves, id, sizeof halves);
  return halves[0] ^ halves[1];
}

// Whether `name` is the volume's name (its key, and the trailing backslash if asked), case
// ignored. ASCII is compared here; anything else goes to the system's comparison.
bool IsNameOf(const LinuxVolume* volume, LPCWSTR name, int length) {
  WCHAR own[LINUX_VOLUME_NAME_CAPACITY];
  VolumeName(volume, own);
  // Most names asked about are exactly the ones the enumeration handed out.
  if (memcmp(own, name, static_cast<size_t>(length) * sizeof(WCHAR)) == 0) return name[length] == 0;
  int i = 0;
  while (i < length && name[i] && name[i] < 0x80 && FoldAscii(name[i]) == FoldAscii(own[i])) ++i;
  if (i == length) return name[i] == 0;
  if (name[i] < 0x80) return false;
  return CompareTextNoCase(own, length, name, -1, true) == CSTR_EQUAL;
}

// The file-system type classified last, and its kind: a mount table lists many mounts of
// one type in a row (a container host's RAM disks), so most types take one comparison.
struct LastKind {
  const char* fsType;
  MountKind kind;
};

MountKind KindOf(const char* fsType, LastKind* last) {
  if (!last->fsType || strcmp(fsType, last->fsType) != 0) {
    last->fsType = fsType;
    last->kind = ClassifyFileSystem(fsType);
  }
  return last->kind;
}

// The volume of mount i's device, made at the device's first mount (`devices` holds those
// mounts); -1 for a kernel interface.
int VolumeOf(LinuxVolumeTable* table, HashIndex* devices, const MountRecord* const* mounts,
             const int* volumeOf, int i, const VolumeProbes* probes, LastKind* last) {
  const MountRecord* mount = mounts[i];
  uint64_t hash = DeviceHash(mount->major, mount->minor);
  for (size_t s = HashSlot(devices, hash); devices->slots[s] >= 0; s = NextHashSlot(devices, s)) {
    const MountRecord* first = mounts[devices->slots[s]];
    if (first->major == mount->major && first->minor == mount->minor) return volumeOf[devices->slots[s]];
  }
  InsertHashed(devices, hash, i);
  const char* fsType = FileSystemTypeOf(mount);
  MountKind kind = KindOf(fsType, last);
  if (kind == MountPseudo) return -1;
  int v = table->count++;
  LinuxVolume& volume = table->volumes[v];
  volume.major = mount->major;
  volume.minor = mount->minor;
  volume.firstPath = 0;
  volume.pathCount = 0;
  switch (kind) {
    case MountRemote: volume.driveType = DRIVE_REMOTE; break;
    case MountRamDisk: volume.driveType = DRIVE_RAMDISK; break;
    case MountCdRom: volume.driveType = DRIVE_CDROM; break;
    default: {
      const char* source = fsType + strlen(fsType) + 1;
      volume.driveType = probes && probes->isRemovable && probes->isRemovable(volume.major, volume.minor, source)
                             ? DRIVE_REMOVABLE
                             : DRIVE_FIXED;
      break;
    }
  }
  return v;
}

bool NameTaken(const LinuxVolumeTable* table, const unsigned char id[16], uint64_t hash) {
  const HashIndex* index = &table->names;
  for (size_t s = HashSlot(index, hash); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    if (memcmp(table->volumes[index->slots[s]].id, id, sizeof table->volumes[0].id) == 0) return true;
  }
  return false;
}

// Names volume v from its first mount: the UUID where the machine knows it, else a hash;
// never two volumes alike.
void NameVolume(LinuxVolumeTable* table, int v, const MountRecord* first, const VolumeProbes* probes) {
  LinuxVolume& volume = table->volumes[v];
  const char* fsType = FileSystemTypeOf(first);
  const char* source = fsType + strlen(fsType) + 1;
  bool known = probes && probes->findUuid && probes->findUuid(volume.major, volume.minor, source, volume.id);
  if (!known) HashVolumeId(volume.major, volume.minor, fsType, source, volume.id);
  uint64_t hash = IdHash(volume.id);
  for (unsigned salt = 1; NameTaken(table, volume.id, hash); ++salt) {
    HashVolumeId(volume.major, volume.minor, fsType, source, volume.id, salt);
    hash = IdHash(volume.id);
  }
  InsertHashed(&table->names, hash, v);
}

// Whether `name` is exactly the volume's name as handed out (or without its trailing
// backslash), compared unit by unit so that a shorter name stops at its terminator.
bool IsExactName(const LinuxVolume* volume, LPCWSTR name, bool trailingBackslash) {
  WCHAR own[LINUX_VOLUME_NAME_CAPACITY];
  VolumeName(volume, own);
  int i = 0;
  while (i < NameKeyLength && name[i] == own[i]) ++i;
  if (i < NameKeyLength) return false;
  return trailingBackslash ? name[i] == '\\' && name[i + 1] == 0 : name[i] == 0;
}

// A mount point as the mount-path list needs it: its length in bytes, and whether it is
// ASCII, so that its UTF-16 form is known without decoding (mount points are ASCII nearly
// always). Eight bytes are checked at a time.
LinuxMountPath MountPath(int mountId, const char* path, size_t length) {
  uint64_t seen = 0;
  size_t k = 0;
  for (; k + 8 <= length; k += 8) {
    uint64_t word;
    memcpy(&word, path + k, sizeof word);
    seen |= word;
  }
  for (; k < length; ++k) seen |= static_cast<unsigned char>(path[k]);
  LinuxMountPath entry;
  entry.mountId = mountId;
  entry.length = static_cast<unsigned>(length) & 0x7FFFFFFFu;
  entry.ascii = (seen & 0x8080808080808080ull) == 0;
  entry.path = path;
  return entry;
}

// ASCII bytes as UTF-16 units, eight at a time: each block of eight is widened as one
// vector. The last block ends where the text does, overlapping the one before it.
void WidenAscii(const unsigned char* bytes, size_t length, WCHAR* out) {
  typedef unsigned char EightBytes __attribute__((vector_size(8)));
  typedef uint16_t EightUnits __attribute__((vector_size(16)));
  if (length < 8) {
    for (size_t k = 0; k < length; ++k) out[k] = bytes[k];
    return;
  }
  for (size_t k = 0;; k += 8) {
    if (k + 8 > length) k = length - 8;
    EightBytes narrow;
    memcpy(&narrow, bytes + k, sizeof narrow);
    EightUnits wide = __builtin_convertvector(narrow, EightUnits);
    memcpy(out + k, &wide, sizeof wide);
    if (k + 8 == length) return;
  }
}

}  // namespace

bool BeginVolumeTable(LinuxVolumeTable* table) {
  Arena arena = table->arena;
  memset(table, 0, sizeof *table);
  if (arena.base) {
    ArenaRelease(&arena, 0);
  } else if (!CreateArena(&arena)) {
    return false;
  }
  table->arena = arena;
  table->records = arena.base;
  return true;
}

bool AddMountLine(LinuxVolumeTable* table, char* line, bool escapes) {
  MountEntry entry;
  if (!ParseMountInfoLine(line, &entry, escapes)) return true;
  const size_t pointLength = entry.mountPointLength;
  const size_t typeLength = entry.fsTypeLength;
  const size_t sourceLength = entry.sourceLength;
  size_t bytes = sizeof(MountRecord) + pointLength + typeLength + sourceLength + 3;
  bytes = (bytes + alignof(MountRecord) - 1) & ~(alignof(MountRecord) - 1);
  // Records follow each other in the arena: nothing else is taken from it meanwhile. A
  // table whose records alone pass this size is a large one: the rest of it goes to huge
  // pages at once, so that its first pages are few (the records of about 2,500 mounts
  // with paths of 40 bytes; a table of 2,000 stays in small pages as a whole).
  const size_t largeTable = 192 * 1024;
  if (!table->recordsBreak && ArenaMark(&table->arena) + bytes > largeTable) {
    table->recordsBreak = table->arena.base + ArenaMark(&table->arena);
    ArenaMoveToHugePages(&table->arena);
    table->recordsResume = table->arena.base + ArenaMark(&table->arena);
  }
  MountRecord* mount = static_cast<MountRecord*>(ArenaTake(&table->arena, bytes, alignof(MountRecord)));
  if (!mount || pointLength > 0x7FFFFFFF || bytes > 0xFFFFFFFF) {
    FreeVolumeTable(table);
    return false;
  }
  mount->mountId = entry.mountId;
  mount->parentId = entry.parentId;
  mount->major = entry.major;
  mount->minor = entry.minor;
  mount->pointLength = static_cast<unsigned>(pointLength);
  mount->size = static_cast<unsigned>(bytes);
  char* text = reinterpret_cast<char*>(mount + 1);
  memcpy(text, entry.mountPoint, pointLength + 1);
  // The type and the source follow each other in the line, each with its terminator,
  // unless decoding an escape shortened the type.
  if (entry.fsType + typeLength + 1 == entry.source) {
    memcpy(text + pointLength + 1, entry.fsType, typeLength + sourceLength + 2);
  } else {
    memcpy(text + pointLength + 1, entry.fsType, typeLength + 1);
    memcpy(text + pointLength + typeLength + 2, entry.source, sourceLength + 1);
  }
  ++table->mountCount;
  return true;
}

bool FinishVolumeTable(LinuxVolumeTable* table, const VolumeProbes* probes) {
  if (!table->records) return false;
  Arena* arena = &table->arena;
  const int n = table->mountCount;
  const size_t count = static_cast<size_t>(n > 0 ? n : 1);
  // What only the building needs comes first; each later step reuses the pages that the
  // one before gave back. Nothing is cleared that is not filled in anyway.
  const MountRecord** mounts = static_cast<const MountRecord**>(ArenaTake(arena, count * sizeof *mounts));
  int* volumeOf = static_cast<int*>(ArenaTake(arena, count * sizeof(int), alignof(int)));
  bool* reachable = static_cast<bool*>(ArenaTake(arena, count * sizeof(bool), alignof(bool)));
  bool ok = mounts && volumeOf && reachable;
  const char* record = table->records;
  for (int i = 0; ok && i < n; ++i) {
    if (record == table->recordsBreak) record = table->recordsResume;
    mounts[i] = reinterpret_cast<const MountRecord*>(record);
    record += mounts[i]->size;
  }
  ok = ok && MarkReachableMounts(mounts, n, reachable, arena);

  // One volume per device, in the order of first appearance; pseudo file systems are none.
  // Room for a volume per mount; only as many pages are touched as there are volumes.
  table->volumes = ok ? static_cast<LinuxVolume*>(ArenaTake(arena, count * sizeof(LinuxVolume), alignof(LinuxVolume)))
                      : nullptr;
  ok = ok && table->volumes;
  const size_t building = ArenaMark(arena);
  HashIndex devices = {};
  LastKind last = {};
  ok = ok && CreateHashIndex(&devices, n, arena);
  for (int i = 0; ok && i < n; ++i) {
    volumeOf[i] = VolumeOf(table, &devices, mounts, volumeOf, i, probes, &last);
    if (volumeOf[i] >= 0 && reachable[i]) ++table->volumes[volumeOf[i]].pathCount;
  }
  ArenaRelease(arena, building);

  // The reachable mount points, grouped by volume, each group in table order.
  int next = 0;
  for (int v = 0; ok && v < table->count; ++v) {
    table->volumes[v].firstPath = next;
    next += table->volumes[v].pathCount;
    table->volumes[v].pathCount = 0;
  }
  table->paths = ok ? static_cast<LinuxMountPath*>(ArenaTake(arena, static_cast<size_t>(next > 0 ? next : 1) * sizeof(LinuxMountPath)))
                    : nullptr;
  ok = ok && table->paths;
  for (int i = 0; ok && i < n; ++i) {
    if (volumeOf[i] < 0 || !reachable[i]) continue;
    LinuxVolume& volume = table->volumes[volumeOf[i]];
    table->paths[volume.firstPath + volume.pathCount++] = MountPath(mounts[i]->mountId, MountPointOf(mounts[i]), mounts[i]->pointLength);
  }
  table->pathCount = next;

  // Names, in volume order: each volume is named from its first mount.
  ok = ok && CreateHashIndex(&table->names, table->count, arena);
  for (int i = 0, v = 0; ok && i < n && v < table->count; ++i) {
    if (volumeOf[i] == v) NameVolume(table, v++, mounts[i], probes);
  }
  table->records = table->recordsBreak = table->recordsResume = nullptr;
  if (!ok) FreeVolumeTable(table);
  return ok;
}

bool BuildVolumeTable(char* text, const VolumeProbes* probes, LinuxVolumeTable* table) {
  if (!BeginVolumeTable(table)) return false;
  for (char* line = text; line;) {
    char* end = strchr(line, '\n');
    if (end) *end = 0;
    if (!AddMountLine(table, line)) return false;
    line = end ? end + 1 : nullptr;
  }
  return FinishVolumeTable(table, probes);
}

int ReadVolumeTable(int fd, char* buffer, size_t capacity, const VolumeProbes* probes,
                    LinuxVolumeTable* table) {
  if (!BeginVolumeTable(table)) return ENOMEM;
  // `held` bytes of a line not yet ended are at the start of `text`; one byte is always
  // left for the terminator of the last line.
  char* text = buffer;
  size_t size = capacity, held = 0;
  int error = 0;
  for (;;) {
    if (held + 1 >= size) {
      char* larger = static_cast<char*>(malloc(size * 2));
      if (!larger) {
        error = ENOMEM;
        break;
      }
      memcpy(larger, text, held);
      if (text != buffer) free(text);
      text = larger;
      size *= 2;
    }
    ssize_t n = read(fd, text + held, size - 1 - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) {
      text[held] = 0;
      if (held > 0 && !AddMountLine(table, text)) error = ENOMEM;
      break;
    }
    char* line = text;
    char* end = text + held + n;
    // Escapes are rare: one search of what was read tells whether any of its lines has one.
    const bool escapes = memchr(text, '\\', held + static_cast<size_t>(n)) != nullptr;
    for (char* newline; (newline = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(end - line))));) {
      *newline = 0;
      if (!AddMountLine(table, line, escapes)) {
        error = ENOMEM;
        break;
      }
      line = newline + 1;
    }
    if (error) break;
    held = static_cast<size_t>(end - line);
    memmove(text, line, held);
  }
  if (text != buffer) free(text);
  if (error == 0 && !FinishVolumeTable(table, probes)) error = ENOMEM;
  if (error != 0) FreeVolumeTable(table);
  return error;
}

void FreeVolumeTable(LinuxVolumeTable* table) {
  FreeArena(&table->arena);
  memset(table, 0, sizeof *table);
}

const LinuxVolume* FindVolumeByName(const LinuxVolumeTable* table, LPCWSTR name,
                                    bool trailingBackslash, int likely) {
  if (!name || !table->names.slots) return nullptr;
  // A flush pass asks about the volume its search has just handed out: no hashing then.
  if (likely >= 0 && likely < table->count && IsExactName(&table->volumes[likely], name, trailingBackslash)) {
    return &table->volumes[likely];
  }
  int length = 0;
  while (name[length] && length <= NameKeyLength) ++length;
  if (length < NameKeyLength) return nullptr;  // too short to be any volume's name
  // A volume name is ASCII through and through, and no other character compares equal to
  // one of its characters with the case ignored: a name whose digits are not all
  // hexadecimal digits is no volume's name.
  unsigned char id[16];
  if (!ReadVolumeNameDigits(name, id)) return nullptr;
  const HashIndex* index = &table->names;
  for (size_t s = HashSlot(index, IdHash(id)); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    const LinuxVolume* volume = &table->volumes[index->slots[s]];
    if (IsNameOf(volume, name, trailingBackslash ? NameKeyLength + 1 : NameKeyLength)) return volume;
  }
  return nullptr;
}

const LinuxVolume* FindVolumeByMountPoint(const LinuxVolumeTable* table, LPCWSTR path) {
  if (!path) return nullptr;
  int length = 0;
  while (path[length]) ++length;
  if (length > 1 && path[length - 1] == '/') --length;
  if (length == 0) return nullptr;
  int bytes = Utf8FromUtf16(path, length, nullptr, 0);
  if (bytes <= 0) return nullptr;
  char* narrow = static_cast<char*>(malloc(static_cast<size_t>(bytes) + 1));
  if (!narrow) return nullptr;
  Utf8FromUtf16(path, length, narrow, bytes);
  narrow[bytes] = 0;
  const LinuxVolume* found = nullptr;
  for (int v = 0; v < table->count && !found; ++v) {
    const LinuxVolume& volume = table->volumes[v];
    for (int i = 0; i < volume.pathCount; ++i) {
      if (strcmp(table->paths[volume.firstPath + i].path, narrow) == 0) found = &volume;
    }
  }
  free(narrow);
  return found;
}

DWORD MountPathList(const LinuxVolumeTable* table, const LinuxVolume* volume, LPWSTR list,
                    DWORD capacity) {
  const LinuxMountPath* paths = table->paths + volume->firstPath;
  DWORD needed = 1;
  for (int i = 0; i < volume->pathCount; ++i) {
    const LinuxMountPath& mount = paths[i];
    bool doubled = mount.length > 0 && mount.path[mount.length - 1] == '\\';
    DWORD units = mount.ascii ? mount.length
                              : static_cast<DWORD>(Utf16FromUtf8(mount.path, static_cast<int>(mount.length), nullptr, 0));
    needed += units + 1 + (doubled ? 1 : 0);
  }
  if (!list || needed > capacity) return needed;
  DWORD at = 0;
  for (int i = 0; i < volume->pathCount; ++i) {
    const LinuxMountPath& mount = paths[i];
    if (mount.ascii) {
      WidenAscii(reinterpret_cast<const unsigned char*>(mount.path), mount.length, list + at);
      at += static_cast<DWORD>(mount.length);
    } else {
      at += static_cast<DWORD>(Utf16FromUtf8(mount.path, static_cast<int>(mount.length), list + at, static_cast<int>(capacity - at)));
    }
    if (mount.length > 0 && mount.path[mount.length - 1] == '\\') list[at++] = '\\';
    list[at++] = 0;
  }
  list[at] = 0;
  return needed;
}
