// The mount table as a table of volumes: parsing, decoding, classification, grouping by
// device, which mount points can be reached, and the volume names.
#include "platform/linux/mountinfo.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/common/case_mapping.h"
#include "platform/common/utf8.h"

namespace {

// ---- Fields ---------------------------------------------------------------------------------

// Takes the next space-separated field of a line and terminates it; null at the line's end.
char* NextField(char** cursor) {
  char* start = *cursor;
  if (!start) return nullptr;
  char* end = strchr(start, ' ');
  if (end) {
    *end = 0;
    *cursor = end + 1;
  } else {
    *cursor = nullptr;
  }
  return start;
}

bool ParseNumber(const char* text, char stop, unsigned* value, const char** rest) {
  unsigned result = 0;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') {
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (result > (UINT32_MAX - digit) / 10) return false;
    result = result * 10 + digit;
    ++p;
  }
  if (*p != stop) return false;
  *value = result;
  if (rest) *rest = p;
  return true;
}

bool IsOctal(char ch) { return ch >= '0' && ch <= '7'; }

// ---- Classification ---------------------------------------------------------------------------

// Kernel interfaces mounted as file systems: they hold no files of anyone's to write out.
const char* const PseudoTypes[] = {
    "proc",      "sysfs",     "cgroup",      "cgroup2",    "devpts",     "devtmpfs",
    "mqueue",    "debugfs",   "tracefs",     "securityfs", "pstore",     "bpf",
    "configfs",  "fusectl",   "hugetlbfs",   "autofs",     "binfmt_misc", "nsfs",
    "efivarfs",  "selinuxfs", "rpc_pipefs",  "nfsd",       "binder",     "usbfs",
    "sockfs",    "pipefs",    "anon_inodefs", "devfs",     "oprofilefs", "xenfs",
    "fuse.gvfsd-fuse", "fuse.portal",
};

// File systems whose data lives on another machine (or, for the virtual machine shares,
// on the host).
const char* const RemoteTypes[] = {
    "nfs",   "nfs4",      "cifs",       "smb3",      "smbfs",        "ncpfs",
    "9p",    "afs",       "ceph",       "coda",      "lustre",       "glusterfs",
    "davfs", "virtiofs",  "vboxsf",     "vmhgfs",    "fuse.sshfs",   "fuse.glusterfs",
    "fuse.rclone", "fuse.s3fs", "fuse.gcsfuse", "fuse.ceph-fuse", "fuse.vmhgfs-fuse",
    "fuse.davfs2",
};

const char* const RamTypes[] = {"tmpfs", "ramfs", "rootfs"};

// Optical media, and the read-only images that a Windows user would see as a mounted disc.
const char* const CdRomTypes[] = {"iso9660", "udf", "squashfs", "erofs", "cramfs"};

template <size_t N>
bool IsOneOf(const char* type, const char* const (&types)[N]) {
  for (const char* candidate : types) {
    if (strcmp(type, candidate) == 0) return true;
  }
  return false;
}

// ---- Names ------------------------------------------------------------------------------------

uint64_t Fnv1a(uint64_t hash, const void* data, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001B3ull;
  }
  return hash;
}

void HashWithSalt(unsigned major, unsigned minor, const char* fsType, const char* source,
                  unsigned salt, unsigned char id[16]) {
  const uint64_t bases[2] = {0xCBF29CE484222325ull, 0x84222325CBF29CE4ull};
  for (int half = 0; half < 2; ++half) {
    uint64_t hash = bases[half];
    hash = Fnv1a(hash, &major, sizeof major);
    hash = Fnv1a(hash, &minor, sizeof minor);
    hash = Fnv1a(hash, fsType, strlen(fsType) + 1);
    hash = Fnv1a(hash, source, strlen(source) + 1);
    hash = Fnv1a(hash, &salt, sizeof salt);
    for (int i = 0; i < 8; ++i) id[half * 8 + i] = static_cast<unsigned char>(hash >> (56 - 8 * i));
  }
  id[6] = static_cast<unsigned char>((id[6] & 0x0F) | 0x80);  // version 8: made up here
  id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);  // the RFC 4122 variant
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool SameName(const WCHAR* a, const WCHAR* b) {
  return CompareTextNoCase(a, -1, b, -1, true) == CSTR_EQUAL;
}

// ---- Reachability -----------------------------------------------------------------------------

// Whether a mount can be reached through its mount point: nothing is mounted on top of it,
// and the mounts it sits in can be reached too. A mount stacked on another at the same
// point hides that one, so for the one below only what lies further up counts.
bool IsReachable(const MountEntry* entries, const int* parentIndex, const bool* covered, int count,
                 int i) {
  bool checkCover = true;
  for (int steps = 0; steps <= count; ++steps) {
    if (checkCover && covered[i]) return false;
    int parent = parentIndex[i];
    if (parent < 0 || parent == i) return true;
    checkCover = strcmp(entries[i].mountPoint, entries[parent].mountPoint) != 0;
    i = parent;
  }
  return false;  // a loop in the parent links: trust none of it
}

}  // namespace

size_t DecodeMountField(char* field) {
  char* out = field;
  for (const char* in = field; *in;) {
    if (in[0] == '\\' && IsOctal(in[1]) && IsOctal(in[2]) && IsOctal(in[3])) {
      int value = (in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0');
      if (value > 0 && value < 256) {
        *out++ = static_cast<char>(value);
        in += 4;
        continue;
      }
    }
    *out++ = *in++;
  }
  *out = 0;
  return static_cast<size_t>(out - field);
}

bool ParseMountInfoLine(char* line, MountEntry* entry) {
  char* cursor = line;
  char* fields[6];
  for (char*& field : fields) {
    field = NextField(&cursor);
    if (!field) return false;
  }
  unsigned id, parent;
  if (!ParseNumber(fields[0], 0, &id, nullptr) || !ParseNumber(fields[1], 0, &parent, nullptr)) {
    return false;
  }
  const char* minorText;
  unsigned major, minor;
  if (!ParseNumber(fields[2], ':', &major, &minorText) ||
      !ParseNumber(minorText + 1, 0, &minor, nullptr)) {
    return false;
  }
  // Optional fields up to the lone "-", then the type and the source.
  for (;;) {
    char* field = NextField(&cursor);
    if (!field) return false;
    if (strcmp(field, "-") == 0) break;
  }
  char* fsType = NextField(&cursor);
  char* source = NextField(&cursor);
  if (!fsType || !source || !*fsType) return false;
  DecodeMountField(fields[3]);
  DecodeMountField(fields[4]);
  DecodeMountField(fsType);
  DecodeMountField(source);
  entry->mountId = static_cast<int>(id);
  entry->parentId = static_cast<int>(parent);
  entry->major = major;
  entry->minor = minor;
  entry->root = fields[3];
  entry->mountPoint = fields[4];
  entry->fsType = fsType;
  entry->source = source;
  return true;
}

MountKind ClassifyFileSystem(const char* fsType) {
  if (IsOneOf(fsType, PseudoTypes)) return MountPseudo;
  if (IsOneOf(fsType, RemoteTypes)) return MountRemote;
  if (IsOneOf(fsType, RamTypes)) return MountRamDisk;
  if (IsOneOf(fsType, CdRomTypes)) return MountCdRom;
  return MountLocal;
}

bool ParseUuid(const char* text, unsigned char uuid[16]) {
  size_t length = strlen(text);
  bool dashed = length == 36;
  if (!dashed && length != 32) return false;
  int nibbles = 0;
  for (size_t i = 0; i < length; ++i) {
    if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (text[i] != '-') return false;
      continue;
    }
    int value = HexValue(text[i]);
    if (value < 0) return false;
    if (nibbles % 2 == 0) {
      uuid[nibbles / 2] = static_cast<unsigned char>(value << 4);
    } else {
      uuid[nibbles / 2] = static_cast<unsigned char>(uuid[nibbles / 2] | value);
    }
    ++nibbles;
  }
  return nibbles == 32;
}

void HashVolumeId(unsigned major, unsigned minor, const char* fsType, const char* source,
                  unsigned char id[16]) {
  HashWithSalt(major, minor, fsType, source, 0, id);
}

void FormatVolumeName(const unsigned char id[16], WCHAR name[LINUX_VOLUME_NAME_CAPACITY]) {
  static const char Digits[] = "0123456789abcdef";
  static const char Prefix[] = "\\\\?\\Volume{";
  int n = 0;
  for (const char* p = Prefix; *p; ++p) name[n++] = static_cast<WCHAR>(*p);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name[n++] = '-';
    name[n++] = static_cast<WCHAR>(Digits[id[i] >> 4]);
    name[n++] = static_cast<WCHAR>(Digits[id[i] & 15]);
  }
  name[n++] = '}';
  name[n++] = '\\';
  name[n] = 0;
}

bool BuildVolumeTable(char* text, const VolumeProbes* probes, LinuxVolumeTable* table) {
  memset(table, 0, sizeof *table);
  table->text = text;

  int lines = 1;
  for (const char* p = text; *p; ++p) lines += *p == '\n' ? 1 : 0;
  MountEntry* entries = static_cast<MountEntry*>(calloc(static_cast<size_t>(lines), sizeof(MountEntry)));
  int* parentIndex = static_cast<int*>(calloc(static_cast<size_t>(lines), sizeof(int)));
  int* volumeOf = static_cast<int*>(calloc(static_cast<size_t>(lines), sizeof(int)));
  bool* covered = static_cast<bool*>(calloc(static_cast<size_t>(lines), sizeof(bool)));
  bool* reachable = static_cast<bool*>(calloc(static_cast<size_t>(lines), sizeof(bool)));
  table->volumes = static_cast<LinuxVolume*>(calloc(static_cast<size_t>(lines), sizeof(LinuxVolume)));
  table->paths = static_cast<LinuxMountPath*>(calloc(static_cast<size_t>(lines), sizeof(LinuxMountPath)));
  bool ok = entries && parentIndex && volumeOf && covered && reachable && table->volumes && table->paths;

  int count = 0;
  for (char* line = text; ok && line;) {
    char* end = strchr(line, '\n');
    if (end) *end = 0;
    if (ParseMountInfoLine(line, &entries[count])) ++count;
    line = end ? end + 1 : nullptr;
  }

  // Which mounts can be reached through their mount points.
  for (int i = 0; ok && i < count; ++i) {
    parentIndex[i] = -1;
    for (int j = 0; j < count; ++j) {
      if (j == i) continue;
      if (entries[j].mountId == entries[i].parentId) parentIndex[i] = j;
      if (entries[j].parentId == entries[i].mountId &&
          strcmp(entries[j].mountPoint, entries[i].mountPoint) == 0) {
        covered[i] = true;
      }
    }
  }
  for (int i = 0; ok && i < count; ++i) {
    reachable[i] = IsReachable(entries, parentIndex, covered, count, i);
  }

  // One volume per device, in the order of first appearance; pseudo file systems are none.
  for (int i = 0; ok && i < count; ++i) {
    volumeOf[i] = -1;
    MountKind kind = ClassifyFileSystem(entries[i].fsType);
    if (kind == MountPseudo) continue;
    int v = 0;
    while (v < table->count && (table->volumes[v].major != entries[i].major ||
                                table->volumes[v].minor != entries[i].minor)) {
      ++v;
    }
    if (v == table->count) {
      LinuxVolume& volume = table->volumes[table->count++];
      volume.major = entries[i].major;
      volume.minor = entries[i].minor;
      volume.fsType = entries[i].fsType;
      volume.source = entries[i].source;
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
    }
    volumeOf[i] = v;
    if (reachable[i]) ++table->volumes[v].pathCount;
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
    table->paths[volume.firstPath + volume.pathCount++] = {entries[i].mountId, entries[i].mountPoint};
  }
  table->pathCount = next;

  // Names: the UUID where the machine knows it, else a hash; never two volumes alike.
  for (int v = 0; ok && v < table->count; ++v) {
    LinuxVolume& volume = table->volumes[v];
    unsigned char id[16];
    bool known = probes && probes->findUuid && probes->findUuid(volume.major, volume.minor, volume.source, id);
    if (!known) HashVolumeId(volume.major, volume.minor, volume.fsType, volume.source, id);
    FormatVolumeName(id, volume.name);
    for (unsigned salt = 1; salt <= static_cast<unsigned>(table->count) + 1; ++salt) {
      int other = 0;
      while (other < v && !SameName(table->volumes[other].name, volume.name)) ++other;
      if (other == v) break;
      HashWithSalt(volume.major, volume.minor, volume.fsType, volume.source, salt, id);
      FormatVolumeName(id, volume.name);
    }
  }

  free(entries);
  free(parentIndex);
  free(volumeOf);
  free(covered);
  free(reachable);
  if (!ok) FreeVolumeTable(table);
  return ok;
}

void FreeVolumeTable(LinuxVolumeTable* table) {
  free(table->text);
  free(table->volumes);
  free(table->paths);
  memset(table, 0, sizeof *table);
}

const LinuxVolume* FindVolumeByName(const LinuxVolumeTable* table, LPCWSTR name,
                                    bool trailingBackslash) {
  if (!name) return nullptr;
  for (int v = 0; v < table->count; ++v) {
    const WCHAR* candidate = table->volumes[v].name;
    int length = 0;
    while (candidate[length]) ++length;
    if (!trailingBackslash) --length;
    if (CompareTextNoCase(candidate, length, name, -1, true) == CSTR_EQUAL) return &table->volumes[v];
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
  DWORD needed = 1;
  for (int i = 0; i < volume->pathCount; ++i) {
    const char* path = table->paths[volume->firstPath + i].path;
    needed += static_cast<DWORD>(Utf16FromUtf8(path, static_cast<int>(strlen(path)), nullptr, 0)) + 1;
  }
  if (!list || needed > capacity) return needed;
  DWORD at = 0;
  for (int i = 0; i < volume->pathCount; ++i) {
    const char* path = table->paths[volume->firstPath + i].path;
    int written = Utf16FromUtf8(path, static_cast<int>(strlen(path)), list + at,
                                static_cast<int>(capacity - at));
    at += static_cast<DWORD>(written);
    list[at++] = 0;
  }
  list[at] = 0;
  return needed;
}
