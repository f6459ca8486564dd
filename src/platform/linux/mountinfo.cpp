// The lines of the mount table: parsing, decoding, classification of file-system types, and
// the volume names.
#include "platform/linux/mountinfo.h"

#include <stdint.h>
#include <string.h>

#include "platform/linux/hash_index.h"

namespace {

// ---- Fields ---------------------------------------------------------------------------------

bool IsOctal(char ch) { return ch >= '0' && ch <= '7'; }

// Decodes each \ooo (three octal digits, a byte from 1 to 255) in place, from `field` up to
// the end of the text or, when `atBlank`, up to the next blank, and terminates the decoded
// text. Returns where it stopped, in `stop` the character that was there (a blank or 0),
// and in `length` the decoded length. The field's end and its first backslash are found
// with the C library's scans, which take many bytes a step; a field without escapes is
// only scanned, nothing moves.
char* DecodeInPlace(char* field, bool atBlank, char* stop, size_t* length) {
  char* end = atBlank ? strchrnul(field, ' ') : field + strlen(field);
  char* in = static_cast<char*>(memchr(field, '\\', static_cast<size_t>(end - field)));
  *stop = *end;
  if (!in) {
    *end = 0;
    *length = static_cast<size_t>(end - field);
    return end;
  }
  char* out = in;
  while (in < end) {
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
  *length = static_cast<size_t>(out - field);
  return end;
}

// Decodes the field at `field` up to the next blank and terminates it, giving its decoded
// length; returns where the next field begins, or null when this one ends the line. A
// field of a line without escapes (`escapes` false) is only found and terminated.
char* TakeField(char* field, bool escapes, size_t* length) {
  char stop;
  char* end;
  if (escapes) {
    end = DecodeInPlace(field, true, &stop, length);
  } else {
    end = strchrnul(field, ' ');
    stop = *end;
    *end = 0;
    *length = static_cast<size_t>(end - field);
  }
  return stop == ' ' ? end + 1 : nullptr;
}

// Steps over a field that is not needed; null when it ends the line.
char* SkipField(char* field) {
  char* blank = strchr(field, ' ');
  return blank ? blank + 1 : nullptr;
}

// The value of a decimal digit, or more than 9 for any other character.
unsigned DigitValue(char ch) { return static_cast<unsigned>(static_cast<unsigned char>(ch)) - '0'; }

bool ParseNumber(const char* text, char stop, unsigned* value, const char** rest) {
  const char* p = text;
  uint64_t result = DigitValue(*p);
  if (result > 9) return false;
  for (unsigned digit; (digit = DigitValue(*++p)) <= 9;) {
    result = result * 10 + digit;
    if (result > UINT32_MAX) return false;
  }
  if (*p != stop) return false;
  *value = static_cast<unsigned>(result);
  if (rest) *rest = p;
  return true;
}

// ---- Classification ---------------------------------------------------------------------------

// Every file-system type that is not a local disk, in byte order for a binary search:
// kernel interfaces mounted as file systems, which hold no files of anyone's to write out;
// file systems whose data lives on another machine (or, for the virtual machine shares, on
// the host); memory-only ones; optical media, and the read-only images that a Windows user
// would see as a mounted disc.
struct TypeKind {
  const char* type;
  MountKind kind;
};
constexpr TypeKind KnownTypes[] = {
    {"9p", MountRemote},
    {"afs", MountRemote},
    {"anon_inodefs", MountPseudo},
    {"autofs", MountPseudo},
    {"binder", MountPseudo},
    {"binfmt_misc", MountPseudo},
    {"bpf", MountPseudo},
    {"ceph", MountRemote},
    {"cgroup", MountPseudo},
    {"cgroup2", MountPseudo},
    {"cifs", MountRemote},
    {"coda", MountRemote},
    {"configfs", MountPseudo},
    {"cramfs", MountCdRom},
    {"davfs", MountRemote},
    {"debugfs", MountPseudo},
    {"devfs", MountPseudo},
    {"devpts", MountPseudo},
    {"devtmpfs", MountPseudo},
    {"efivarfs", MountPseudo},
    {"erofs", MountCdRom},
    {"fuse.ceph-fuse", MountRemote},
    {"fuse.davfs2", MountRemote},
    {"fuse.gcsfuse", MountRemote},
    {"fuse.glusterfs", MountRemote},
    {"fuse.gvfsd-fuse", MountPseudo},
    {"fuse.portal", MountPseudo},
    {"fuse.rclone", MountRemote},
    {"fuse.s3fs", MountRemote},
    {"fuse.sshfs", MountRemote},
    {"fuse.vmhgfs-fuse", MountRemote},
    {"fusectl", MountPseudo},
    {"glusterfs", MountRemote},
    {"hugetlbfs", MountPseudo},
    {"iso9660", MountCdRom},
    {"lustre", MountRemote},
    {"mqueue", MountPseudo},
    {"ncpfs", MountRemote},
    {"nfs", MountRemote},
    {"nfs4", MountRemote},
    {"nfsd", MountPseudo},
    {"nsfs", MountPseudo},
    {"oprofilefs", MountPseudo},
    {"pipefs", MountPseudo},
    {"proc", MountPseudo},
    {"pstore", MountPseudo},
    {"ramfs", MountRamDisk},
    {"rootfs", MountRamDisk},
    {"rpc_pipefs", MountPseudo},
    {"securityfs", MountPseudo},
    {"selinuxfs", MountPseudo},
    {"smb3", MountRemote},
    {"smbfs", MountRemote},
    {"sockfs", MountPseudo},
    {"squashfs", MountCdRom},
    {"sysfs", MountPseudo},
    {"tmpfs", MountRamDisk},
    {"tracefs", MountPseudo},
    {"udf", MountCdRom},
    {"usbfs", MountPseudo},
    {"vboxsf", MountRemote},
    {"virtiofs", MountRemote},
    {"vmhgfs", MountRemote},
    {"xenfs", MountPseudo},
};
const size_t KnownTypeCount = sizeof KnownTypes / sizeof KnownTypes[0];

constexpr int CompareBytes(const char* a, const char* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

constexpr bool InByteOrder() {
  for (size_t i = 1; i < KnownTypeCount; ++i) {
    if (CompareBytes(KnownTypes[i - 1].type, KnownTypes[i].type) >= 0) return false;
  }
  return true;
}
static_assert(InByteOrder(), "the binary search needs the types in byte order, each once");

// ---- Names ------------------------------------------------------------------------------------

// Both hashes over the bytes, four bytes a step where there are four: the two chains of
// multiplications are independent, so the processor works on both at once.
void HashTwice(uint64_t hashes[2], const void* data, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  const uint64_t prime = 0x100000001B3ull;
  uint64_t a = hashes[0], b = hashes[1];
  size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    a = (a ^ bytes[i]) * prime;
    b = (b ^ bytes[i]) * prime;
    a = (a ^ bytes[i + 1]) * prime;
    b = (b ^ bytes[i + 1]) * prime;
    a = (a ^ bytes[i + 2]) * prime;
    b = (b ^ bytes[i + 2]) * prime;
    a = (a ^ bytes[i + 3]) * prime;
    b = (b ^ bytes[i + 3]) * prime;
  }
  for (; i < length; ++i) {
    a = (a ^ bytes[i]) * prime;
    b = (b ^ bytes[i]) * prime;
  }
  hashes[0] = a;
  hashes[1] = b;
}

// A number's four bytes as they lie in memory, one step each. A step over a zero byte only
// multiplies by the prime, so the four steps of a zero number (a major number of 0, the
// salt of a first try) are one multiplication by its fourth power: the same result with a
// quarter of the steps, which follow one another.
void HashNumber(uint64_t hashes[2], unsigned value) {
  if (value == 0) {
    const uint64_t fourthPower = 0x100000001B3ull * 0x100000001B3ull * 0x100000001B3ull * 0x100000001B3ull;
    hashes[0] *= fourthPower;
    hashes[1] *= fourthPower;
    return;
  }
  unsigned char bytes[sizeof value];
  memcpy(bytes, &value, sizeof value);
  for (unsigned char byte : bytes) {
    hashes[0] = (hashes[0] ^ byte) * 0x100000001B3ull;
    hashes[1] = (hashes[1] ^ byte) * 0x100000001B3ull;
  }
}

// The eight bytes of a value, most significant first.
void PutBigEndian(uint64_t value, unsigned char out[8]) {
  if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) value = __builtin_bswap64(value);
  memcpy(out, &value, sizeof value);
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

size_t DecodeMountField(char* field) {
  char stop;
  size_t length;
  DecodeInPlace(field, false, &stop, &length);
  return length;
}

bool ParseMountInfoLine(char* line, MountEntry* entry, bool escapes) {
  // Mount id, parent id and major:minor, each ended by the character that follows it.
  unsigned id, parent, major, minor;
  const char* at = line;
  if (!ParseNumber(at, ' ', &id, &at) || !ParseNumber(at + 1, ' ', &parent, &at) ||
      !ParseNumber(at + 1, ':', &major, &at) || !ParseNumber(at + 1, ' ', &minor, &at)) {
    return false;
  }
  char* root = line + (at - line) + 1;
  // Escapes are rare: one search of the line tells whether any of its fields has one.
  escapes = escapes && strchr(root, '\\') != nullptr;
  size_t rootLength, pointLength = 0, typeLength = 0, sourceLength = 0;
  char* mountPoint = TakeField(root, escapes, &rootLength);
  char* options = mountPoint ? TakeField(mountPoint, escapes, &pointLength) : nullptr;
  char* cursor = options ? SkipField(options) : nullptr;
  // Optional fields up to the lone "-", then the type and the source.
  for (;;) {
    if (!cursor) return false;
    if (cursor[0] == '-' && (cursor[1] == ' ' || cursor[1] == 0)) break;
    cursor = SkipField(cursor);
  }
  char* fsType = cursor[1] ? cursor + 2 : nullptr;
  char* source = fsType ? TakeField(fsType, escapes, &typeLength) : nullptr;
  if (!source || !*fsType) return false;
  TakeField(source, escapes, &sourceLength);
  entry->mountId = static_cast<int>(id);
  entry->parentId = static_cast<int>(parent);
  entry->major = major;
  entry->minor = minor;
  entry->root = root;
  entry->mountPoint = mountPoint;
  entry->fsType = fsType;
  entry->source = source;
  entry->mountPointLength = pointLength;
  entry->fsTypeLength = typeLength;
  entry->sourceLength = sourceLength;
  return true;
}

MountKind ClassifyFileSystem(const char* fsType) {
  size_t low = 0, high = KnownTypeCount;
  while (low < high) {
    size_t middle = (low + high) / 2;
    int order = strcmp(fsType, KnownTypes[middle].type);
    if (order == 0) return KnownTypes[middle].kind;
    if (order < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
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
  // Two FNV-1a hashes from two bases over the same bytes, fed in one walk.
  uint64_t hashes[2] = {HashBasis, 0x84222325CBF29CE4ull};
  HashNumber(hashes, major);
  HashNumber(hashes, minor);
  HashTwice(hashes, fsType, strlen(fsType) + 1);
  HashTwice(hashes, source, strlen(source) + 1);
  HashNumber(hashes, salt);
  PutBigEndian(hashes[0], id);
  PutBigEndian(hashes[1], id + 8);
  id[6] = static_cast<unsigned char>((id[6] & 0x0F) | 0x80);  // version 8: made up here
  id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);  // the RFC 4122 variant
}

// Where each byte's two digits are in a volume name: 8-4-4-4-12 digits after the brace.
const unsigned char DigitsAt[16] = {11, 13, 15, 17, 20, 22, 25, 27, 30, 32, 35, 37, 39, 41, 43, 45};

void FormatVolumeName(const unsigned char id[16], WCHAR name[LINUX_VOLUME_NAME_CAPACITY]) {
  // Every name is the same text but for its 32 digits, which are written into it two at a
  // time from a table of every byte's two digits.
  static const struct Template {
    WCHAR text[LINUX_VOLUME_NAME_CAPACITY];
    WCHAR digits[256][2];
    constexpr Template() : text(), digits() {
      const char shape[] = "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
      for (int i = 0; shape[i]; ++i) text[i] = static_cast<WCHAR>(shape[i]);
      const char hex[] = "0123456789abcdef";
      for (int b = 0; b < 256; ++b) {
        digits[b][0] = static_cast<WCHAR>(hex[b >> 4]);
        digits[b][1] = static_cast<WCHAR>(hex[b & 15]);
      }
    }
  } Name;
  memcpy(name, Name.text, sizeof Name.text);
  for (int i = 0; i < 16; ++i) memcpy(name + DigitsAt[i], Name.digits[id[i]], sizeof Name.digits[0]);
}

bool ReadVolumeNameDigits(const WCHAR* name, unsigned char id[16]) {
  for (int i = 0; i < 16; ++i) {
    WCHAR high = name[DigitsAt[i]], low = name[DigitsAt[i] + 1];
    int highValue = high < 0x80 ? HexValue(static_cast<char>(high)) : -1;
    int lowValue = low < 0x80 ? HexValue(static_cast<char>(low)) : -1;
    if (highValue < 0 || lowValue < 0) return false;
    id[i] = static_cast<unsigned char>(highValue * 16 + lowValue);
  }
  return true;
}
