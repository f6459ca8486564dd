// The mount table as a table of volumes: grouping the mounts by device, their reachable
// mount points, the volume names, and the searches by name and by mount point. Every step
// is one walk over the table with hash indexes, so a host with thousands of mounts costs
// thousands of steps, not millions.
#include <stdlib.h>
#include <string.h>

#include "platform/common/case_mapping.h"
#include "platform/common/utf8.h"
#include "platform/linux/mountinfo.h"
#include "platform/linux/reachability.h"

namespace {

// The characters of a volume name that identify it: all but the trailing backslash.
const int NameKeyLength = LINUX_VOLUME_NAME_CAPACITY - 2;

uint64_t DeviceHash(unsigned major, unsigned minor) { return HashNumbers(major, minor); }

WCHAR FoldAscii(WCHAR ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<WCHAR>(ch + 32) : ch; }

// The hash of a name's key, blind to the case of ASCII letters, which is all the case a
// volume name can have: it is ASCII through and through. Setting bit 5 of each unit maps
// each upper-case letter onto its lower case (and a few other characters onto others, which
// only makes the hash coarser). Four units at a time; the name has all of its key's units.
uint64_t NameHash(const WCHAR* name) {
  static_assert(NameKeyLength % 4 == 0, "the key is hashed in words of four units");
  uint64_t hash = HashBasis;
  for (int i = 0; i < NameKeyLength; i += 4) {
    uint64_t word;
    memcpy(&word, name + i, sizeof word);
    hash = (hash ^ (word | 0x0020002000200020ull)) * 0x100000001B3ull;
    hash ^= hash >> 29;
  }
  return hash;
}

// Whether `name` is the volume's name (its key, and the trailing backslash if asked), case
// ignored. ASCII is compared here; anything else goes to the system's comparison.
bool IsNameOf(const LinuxVolume* volume, LPCWSTR name, int length) {
  // Most names asked about are exactly the ones the enumeration handed out.
  if (memcmp(volume->name, name, static_cast<size_t>(length) * sizeof(WCHAR)) == 0) return name[length] == 0;
  int i = 0;
  while (i < length && name[i] && name[i] < 0x80 && FoldAscii(name[i]) == FoldAscii(volume->name[i])) ++i;
  if (i == length) return name[i] == 0;
  if (name[i] < 0x80) return false;
  return CompareTextNoCase(volume->name, length, name, -1, true) == CSTR_EQUAL;
}

bool NameTaken(const LinuxVolumeTable* table, const WCHAR* name, uint64_t hash) {
  const HashIndex* index = &table->names;
  for (size_t s = HashSlot(index, hash); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    if (memcmp(table->volumes[index->slots[s]].name, name, sizeof table->volumes[0].name) == 0) {
      return true;
    }
  }
  return false;
}

// The volume of mount i's device, made at the device's first mount (`devices` holds those
// mounts); -1 for a kernel interface.
int VolumeOf(LinuxVolumeTable* table, HashIndex* devices, const MountEntry* entries,
             const int* volumeOf, int i, const VolumeProbes* probes) {
  const MountEntry* entry = &entries[i];
  uint64_t hash = DeviceHash(entry->major, entry->minor);
  for (size_t s = HashSlot(devices, hash); devices->slots[s] >= 0; s = NextHashSlot(devices, s)) {
    const MountEntry& first = entries[devices->slots[s]];
    if (first.major == entry->major && first.minor == entry->minor) return volumeOf[devices->slots[s]];
  }
  InsertHashed(devices, hash, i);
  MountKind kind = ClassifyFileSystem(entry->fsType);
  if (kind == MountPseudo) return -1;
  int v = table->count++;
  LinuxVolume& volume = table->volumes[v];
  volume.major = entry->major;
  volume.minor = entry->minor;
  volume.fsType = entry->fsType;
  volume.source = entry->source;
  volume.firstPath = 0;
  volume.pathCount = 0;
  switch (kind) {
    case MountRemote: volume.driveType = DRIVE_REMOTE; break;
    case MountRamDisk: volume.driveType = DRIVE_RAMDISK; break;
    case MountCdRom: volume.driveType = DRIVE_CDROM; break;
    default:
      volume.driveType = probes && probes->isRemovable &&
                                 probes->isRemovable(volume.major, volume.minor, volume.source)
                             ? DRIVE_REMOVABLE
                             : DRIVE_FIXED;
      break;
  }
  return v;
}

// Names: the UUID where the machine knows it, else a hash; never two volumes alike.
void NameVolumes(LinuxVolumeTable* table, const VolumeProbes* probes) {
  for (int v = 0; v < table->count; ++v) {
    LinuxVolume& volume = table->volumes[v];
    unsigned char id[16];
    bool known = probes && probes->findUuid && probes->findUuid(volume.major, volume.minor, volume.source, id);
    if (!known) HashVolumeId(volume.major, volume.minor, volume.fsType, volume.source, id);
    FormatVolumeName(id, volume.name);
    uint64_t hash = NameHash(volume.name);
    for (unsigned salt = 1; NameTaken(table, volume.name, hash); ++salt) {
      HashVolumeId(volume.major, volume.minor, volume.fsType, volume.source, id, salt);
      FormatVolumeName(id, volume.name);
      hash = NameHash(volume.name);
    }
    InsertHashed(&table->names, hash, v);
  }
}

// Whether `name` is exactly the volume's name as handed out (or without its trailing
// backslash), compared unit by unit so that a shorter name stops at its terminator.
bool IsExactName(const LinuxVolume* volume, LPCWSTR name, bool trailingBackslash) {
  int i = 0;
  while (i < NameKeyLength && name[i] == volume->name[i]) ++i;
  if (i < NameKeyLength) return false;
  return trailingBackslash ? name[i] == '\\' && name[i + 1] == 0 : name[i] == 0;
}

// A mount point as the mount-path list needs it: its length in bytes, and whether it is
// ASCII, so that its UTF-16 form is known without decoding (mount points are ASCII nearly
// always). Eight bytes are checked at a time.
LinuxMountPath MountPath(int mountId, const char* path) {
  size_t length = strlen(path);
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

}  // namespace

bool BuildVolumeTable(char* text, const VolumeProbes* probes, LinuxVolumeTable* table) {
  memset(table, 0, sizeof *table);
  table->text = text;

  int lines = 1;
  for (const char* p = strchr(text, '\n'); p; p = strchr(p + 1, '\n')) ++lines;
  size_t n = static_cast<size_t>(lines);
  // Room for every line; only what is filled in is ever touched, so these are not cleared:
  // clearing would touch (and fault in) every page, where a table of many mounts of few
  // file systems fills a small part of `volumes`.
  MountEntry* entries = static_cast<MountEntry*>(malloc(n * sizeof(MountEntry)));
  int* volumeOf = static_cast<int*>(malloc(n * sizeof(int)));
  bool* reachable = static_cast<bool*>(malloc(n * sizeof(bool)));
  HashIndex devices = {};
  table->volumes = static_cast<LinuxVolume*>(malloc(n * sizeof(LinuxVolume)));
  table->paths = static_cast<LinuxMountPath*>(malloc(n * sizeof(LinuxMountPath)));
  bool ok = entries && volumeOf && reachable && table->volumes && table->paths &&
            CreateHashIndex(&devices, lines);

  int count = 0;
  for (char* line = text; ok && line;) {
    char* end = strchr(line, '\n');
    if (end) *end = 0;
    if (ParseMountInfoLine(line, &entries[count])) ++count;
    line = end ? end + 1 : nullptr;
  }
  ok = ok && MarkReachableMounts(entries, count, reachable);

  // One volume per device, in the order of first appearance; pseudo file systems are none.
  for (int i = 0; ok && i < count; ++i) {
    volumeOf[i] = VolumeOf(table, &devices, entries, volumeOf, i, probes);
    if (volumeOf[i] >= 0 && reachable[i]) ++table->volumes[volumeOf[i]].pathCount;
  }

  // The reachable mount points, grouped by volume, each group in table order.
  int next = 0;
  for (int v = 0; ok && v < table->count; ++v) {
    table->volumes[v].firstPath = next;
    next += table->volumes[v].pathCount;
    table->volumes[v].pathCount = 0;
  }
  for (int i = 0; ok && i < count; ++i) {
    if (volumeOf[i] < 0 || !reachable[i]) continue;
    LinuxVolume& volume = table->volumes[volumeOf[i]];
    table->paths[volume.firstPath + volume.pathCount++] = MountPath(entries[i].mountId, entries[i].mountPoint);
  }
  table->pathCount = next;
  ok = ok && CreateHashIndex(&table->names, table->count);
  if (ok) NameVolumes(table, probes);

  free(entries);
  free(volumeOf);
  free(reachable);
  FreeHashIndex(&devices);
  if (!ok) FreeVolumeTable(table);
  return ok;
}

void FreeVolumeTable(LinuxVolumeTable* table) {
  free(table->text);
  free(table->volumes);
  free(table->paths);
  FreeHashIndex(&table->names);
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
  const HashIndex* index = &table->names;
  for (size_t s = HashSlot(index, NameHash(name)); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
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
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(mount.path);
      const size_t length = mount.length;
      WCHAR* out = list + at;
      for (size_t k = 0; k < length; ++k) out[k] = bytes[k];
      at += static_cast<DWORD>(length);
    } else {
      at += static_cast<DWORD>(Utf16FromUtf8(mount.path, static_cast<int>(mount.length), list + at, static_cast<int>(capacity - at)));
    }
    if (mount.length > 0 && mount.path[mount.length - 1] == '\\') list[at++] = '\\';
    list[at++] = 0;
  }
  list[at] = 0;
  return needed;
}
