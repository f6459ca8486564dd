// The lines of the mount table: parsing, decoding, classification of file-system types, and
// the volume names.
#include "platform/linux/mountinfo.h"

#include <stdint.h>
#include <string.h>

#include "platform/linux/hash_index.h"

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
    if (candidate[0] == type[0] && strcmp(type, candidate) == 0) return true;
  }
  return false;
}

// ---- Names ------------------------------------------------------------------------------------

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
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
                  unsigned char id[16], unsigned salt) {
  const uint64_t bases[2] = {HashBasis, 0x84222325CBF29CE4ull};
  for (int half = 0; half < 2; ++half) {
    uint64_t hash = bases[half];
    hash = HashBytes(hash, &major, sizeof major);
    hash = HashBytes(hash, &minor, sizeof minor);
    hash = HashBytes(hash, fsType, strlen(fsType) + 1);
    hash = HashBytes(hash, source, strlen(source) + 1);
    hash = HashBytes(hash, &salt, sizeof salt);
    for (int i = 0; i < 8; ++i) id[half * 8 + i] = static_cast<unsigned char>(hash >> (56 - 8 * i));
  }
  id[6] = static_cast<unsigned char>((id[6] & 0x0F) | 0x80);  // version 8: made up here
  id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);  // the RFC 4122 variant
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
