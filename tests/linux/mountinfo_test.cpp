// The Linux mount table as volumes, over sample tables: parsing and decoding of lines,
// the classification of file-system types, grouping by device, reachability of mount
// points, names, and the mount-path lists handed to the volume code.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/common/utf8.h"
#include "platform/linux/mountinfo.h"

namespace {

std::string Utf8(const std::u16string& text) {
  const WCHAR* wide = reinterpret_cast<const WCHAR*>(text.data());
  int n = Utf8FromUtf16(wide, static_cast<int>(text.size()), nullptr, 0);
  std::string out(static_cast<size_t>(n), '\0');
  Utf8FromUtf16(wide, static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string Decoded(const char* text) {
  std::string copy = text;
  size_t length = DecodeMountField(&copy[0]);
  copy.resize(length);
  return copy;
}

std::string Name(const LinuxVolume& volume) {
  WCHAR name[LINUX_VOLUME_NAME_CAPACITY];
  VolumeName(&volume, name);
  return Utf8(reinterpret_cast<const char16_t*>(name));
}

// ---- Lines -------------------------------------------------------------------------------------

TEST(MountInfo, DecodesOctalEscapes) {
  EXPECT_EQ(Decoded("/mnt/usb\\040stick"), "/mnt/usb stick");
  EXPECT_EQ(Decoded("a\\011b\\012c\\134d"), "a\tb\nc\\d");
  EXPECT_EQ(Decoded("\\1234"), "S4");            // three digits at most
  EXPECT_EQ(Decoded("a\\08b"), "a\\08b");        // 8 is no octal digit
  EXPECT_EQ(Decoded("a\\04"), "a\\04");          // cut short at the end
  EXPECT_EQ(Decoded("a\\000b"), "a\\000b");      // a zero byte would end the path
  EXPECT_EQ(Decoded("a\\"), "a\\");
  EXPECT_EQ(Decoded("\\134040"), "\\040");       // decoded once, not twice
  EXPECT_EQ(Decoded(""), "");
}

TEST(MountInfo, ParsesALineWithOptionalFields) {
  char line[] = "36 35 98:0 /mnt1 /mnt\\0402 rw,noatime master:1 shared:7 - ext3 /dev/ro\\040ot rw,errors=continue";
  MountEntry entry;
  ASSERT_TRUE(ParseMountInfoLine(line, &entry));
  EXPECT_EQ(entry.mountId, 36);
  EXPECT_EQ(entry.parentId, 35);
  EXPECT_EQ(entry.major, 98u);
  EXPECT_EQ(entry.minor, 0u);
  EXPECT_STREQ(entry.root, "/mnt1");
  EXPECT_STREQ(entry.mountPoint, "/mnt 2");
  EXPECT_STREQ(entry.fsType, "ext3");
  EXPECT_STREQ(entry.source, "/dev/ro ot");
  // The lengths as decoded, not as written.
  EXPECT_EQ(entry.mountPointLength, 6u);
  EXPECT_EQ(entry.fsTypeLength, 4u);
  EXPECT_EQ(entry.sourceLength, 10u);
}

TEST(MountInfo, ParsesALineWithoutOptionalFieldsOrSuperOptions) {
  char line[] = "27 1 254:3 / / rw,relatime - ext4 /dev/vda3";
  MountEntry entry;
  ASSERT_TRUE(ParseMountInfoLine(line, &entry));
  EXPECT_EQ(entry.major, 254u);
  EXPECT_EQ(entry.minor, 3u);
  EXPECT_STREQ(entry.mountPoint, "/");
  EXPECT_STREQ(entry.source, "/dev/vda3");
}

TEST(MountInfo, RejectsLinesThatAreNoMountTableLines) {
  const char* const bad[] = {
      "",
      "27 1 254:3 / / rw,relatime ext4 /dev/vda3 rw",      // no separator
      "27 1 254:3 / / rw,relatime -",                       // nothing after it
      "27 1 254:3 / / rw,relatime - ext4",                  // no source
      "x 1 254:3 / / rw - ext4 /dev/vda rw",                // mount id
      "27 1 2543 / / rw - ext4 /dev/vda rw",                // device number
      "27 1 254: / / rw - ext4 /dev/vda rw",
      "27 1 254:3x / / rw - ext4 /dev/vda rw",
      "27 1 99999999999:3 / / rw - ext4 /dev/vda rw",       // beyond 32 bits
      "27 1 254:3 /",                                       // cut short
      "27 1 254:3 / / rw -  /dev/vda rw",                   // empty type
  };
  for (const char* text : bad) {
    std::string line = text;
    MountEntry entry;
    EXPECT_FALSE(ParseMountInfoLine(&line[0], &entry)) << text;
  }
}

// ---- Types ---------------------------------------------------------------------------------------

struct KindCase {
  const char* fsType;
  MountKind kind;
};

TEST(MountInfo, ClassifiesEveryKindOfFileSystem) {
  const KindCase cases[] = {
      {"proc", MountPseudo},       {"sysfs", MountPseudo},       {"cgroup", MountPseudo},
      {"cgroup2", MountPseudo},    {"devpts", MountPseudo},      {"devtmpfs", MountPseudo},
      {"mqueue", MountPseudo},     {"debugfs", MountPseudo},     {"tracefs", MountPseudo},
      {"securityfs", MountPseudo}, {"pstore", MountPseudo},      {"bpf", MountPseudo},
      {"configfs", MountPseudo},   {"fusectl", MountPseudo},     {"hugetlbfs", MountPseudo},
      {"autofs", MountPseudo},     {"binfmt_misc", MountPseudo}, {"nsfs", MountPseudo},
      {"efivarfs", MountPseudo},   {"selinuxfs", MountPseudo},   {"rpc_pipefs", MountPseudo},
      {"fuse.gvfsd-fuse", MountPseudo},
      {"nfs", MountRemote},        {"nfs4", MountRemote},        {"cifs", MountRemote},
      {"smb3", MountRemote},       {"9p", MountRemote},          {"virtiofs", MountRemote},
      {"ceph", MountRemote},       {"fuse.sshfs", MountRemote},  {"fuse.rclone", MountRemote},
      {"tmpfs", MountRamDisk},     {"ramfs", MountRamDisk},      {"rootfs", MountRamDisk},
      {"iso9660", MountCdRom},     {"udf", MountCdRom},          {"squashfs", MountCdRom},
      {"erofs", MountCdRom},
      {"ext4", MountLocal},        {"xfs", MountLocal},          {"btrfs", MountLocal},
      {"vfat", MountLocal},        {"overlay", MountLocal},      {"zfs", MountLocal},
      {"fuseblk", MountLocal},     {"fuse.encfs", MountLocal},   {"nfsx", MountLocal},
      {"PROC", MountLocal},
  };
  for (const KindCase& c : cases) EXPECT_EQ(ClassifyFileSystem(c.fsType), c.kind) << c.fsType;
}

// ---- Names -----------------------------------------------------------------------------------------

TEST(MountInfo, ReadsUuidsWithAndWithoutDashes) {
  unsigned char uuid[16];
  ASSERT_TRUE(ParseUuid("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1F0", uuid));
  const unsigned char expected[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                      0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
  EXPECT_EQ(memcmp(uuid, expected, 16), 0);
  ASSERT_TRUE(ParseUuid("0F1E2D3C4B5A69788796A5B4C3D2E1F0", uuid));
  EXPECT_EQ(memcmp(uuid, expected, 16), 0);
  EXPECT_FALSE(ParseUuid("1234-ABCD", uuid));                              // a FAT serial
  EXPECT_FALSE(ParseUuid("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f", uuid));    // one short
  EXPECT_FALSE(ParseUuid("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg", uuid));   // not hex
  EXPECT_FALSE(ParseUuid("0f1e2d3c4-b5a-6978-8796-a5b4c3d2e1f0", uuid));   // dash misplaced
  EXPECT_FALSE(ParseUuid("", uuid));
}

TEST(MountInfo, FormatsVolumeNamesLikeWindows) {
  unsigned char uuid[16];
  ASSERT_TRUE(ParseUuid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", uuid));
  WCHAR name[LINUX_VOLUME_NAME_CAPACITY];
  FormatVolumeName(uuid, name);
  EXPECT_EQ(Utf8(reinterpret_cast<const char16_t*>(name)),
            "\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\");
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)).size(),
            static_cast<size_t>(LINUX_VOLUME_NAME_CAPACITY - 1));
}

TEST(MountInfo, HashedIdsAreStableWellFormedAndTellFileSystemsApart) {
  unsigned char a[16], again[16], otherMinor[16], otherType[16], otherSource[16];
  HashVolumeId(0, 41, "tmpfs", "tmpfs", a);
  HashVolumeId(0, 41, "tmpfs", "tmpfs", again);
  HashVolumeId(0, 42, "tmpfs", "tmpfs", otherMinor);
  HashVolumeId(0, 41, "ramfs", "tmpfs", otherType);
  HashVolumeId(0, 41, "tmpfs", "none", otherSource);
  EXPECT_EQ(memcmp(a, again, 16), 0);
  EXPECT_NE(memcmp(a, otherMinor, 16), 0);
  EXPECT_NE(memcmp(a, otherType, 16), 0);
  EXPECT_NE(memcmp(a, otherSource, 16), 0);
  EXPECT_EQ(a[6] >> 4, 8);        // version 8
  EXPECT_EQ(a[8] & 0xC0, 0x80);   // RFC 4122 variant

  // The names that users put in templates must not change from one version to the next:
  // zero numbers and a salt, short and long texts, each as an earlier version named it.
  struct Known {
    unsigned major, minor;
    const char* fsType;
    const char* source;
    unsigned salt;
    const char* guid;
  };
  const Known known[] = {
      {0, 41, "tmpfs", "tmpfs", 0, "536e00f7-7491-8900-8dad-a056f1f31129"},
      {8, 1, "ext4", "/dev/sda1", 0, "6f20b81e-5eac-88cf-8af3-17e19f06872c"},
      {0, 41, "tmpfs", "tmpfs", 1, "f368acff-cac7-8591-adb2-f44e9bbd5498"},
      {259, 65536, "fuse.sshfs", "user@host:/srv/data", 0, "6b3e5a50-7ae5-8c28-98ce-6537bc19de53"},
      {0, 0, "", "", 0, "8df352d4-f9fa-8add-82dc-705a8c9ac744"},
  };
  for (const Known& k : known) {
    unsigned char id[16];
    HashVolumeId(k.major, k.minor, k.fsType, k.source, id, k.salt);
    WCHAR name[LINUX_VOLUME_NAME_CAPACITY];
    FormatVolumeName(id, name);
    EXPECT_EQ(Utf8(reinterpret_cast<const char16_t*>(name)), std::string("\\\\?\\Volume{") + k.guid + "}\\")
        << k.major << ":" << k.minor << " " << k.fsType << " " << k.source << " salt " << k.salt;
  }
}

// ---- Tables ----------------------------------------------------------------------------------------

const char SampleTable[] =
    "22 27 0:21 / /proc rw,relatime shared:5 - proc proc rw\n"
    "23 27 0:22 / /sys rw,relatime shared:6 - sysfs sysfs rw\n"
    "27 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "28 27 8:1 /home/shared /srv/shared rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "29 27 8:17 / /mnt/usb\\040stick rw,nosuid - vfat /dev/sdb1 rw\n"
    "30 27 0:40 / /net/home rw - nfs4 server:/export/home rw\n"
    "31 27 0:41 / /tmp rw - tmpfs tmpfs rw\n"
    "32 27 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
    "33 27 0:42 / /var/lib/docker/overlay rw - overlay overlay rw,lowerdir=/a\n"
    "34 27 0:43 / /dev/shm rw - tmpfs tmpfs rw\n"
    "35 34 0:44 / /dev/shm rw - tmpfs tmpfs rw\n"
    "36 27 8:1 / /mnt/again rw - ext4 /dev/sda1 rw\n"
    "37 23 0:45 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
    "38 27 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro\n"
    "39 34 8:33 / /dev/shm/inner rw - ext4 /dev/sdc1 rw\n"
    "40 35 8:49 / /dev/shm/visible rw - ext4 /dev/sdd1 rw\n"
    "41 27 0:50 / /mnt/caf\xc3\xa9 rw - btrfs /dev/sde rw\n"
    "not a mount table line\n";

bool SampleRemovable(unsigned major, unsigned minor, const char* source) {
  return (major == 8 && minor == 17) || strcmp(source, "/dev/sde") == 0;
}

bool SampleUuid(unsigned major, unsigned minor, const char*, unsigned char uuid[16]) {
  if (major != 8 || minor != 1) return false;
  return ParseUuid("11111111-2222-3333-4444-555555555555", uuid);
}

const VolumeProbes SampleProbes = {SampleRemovable, SampleUuid};

class VolumeTableTest : public ::testing::Test {
 protected:
  void Build(const char* text, const VolumeProbes* probes = &SampleProbes) {
    std::string copy = text;
    ASSERT_TRUE(BuildVolumeTable(&copy[0], probes, &table_));
  }
  void TearDown() override { FreeVolumeTable(&table_); }

  std::vector<std::string> Paths(const LinuxVolume& volume) const {
    std::vector<std::string> paths;
    for (int i = 0; i < volume.pathCount; ++i) paths.push_back(table_.paths[volume.firstPath + i].path);
    return paths;
  }
  const LinuxVolume* ByDevice(unsigned major, unsigned minor) const {
    for (int v = 0; v < table_.count; ++v) {
      if (table_.volumes[v].major == major && table_.volumes[v].minor == minor) return &table_.volumes[v];
    }
    return nullptr;
  }
  std::u16string List(const LinuxVolume& volume) const {
    WCHAR list[260];
    DWORD length = MountPathList(&table_, &volume, list, 260);
    return std::u16string(reinterpret_cast<const char16_t*>(list), length);
  }

  LinuxVolumeTable table_ = {};
};

using Strings = std::vector<std::string>;

struct VolumeExpectation {
  unsigned major, minor;
  UINT driveType;
  Strings paths;
};

TEST_F(VolumeTableTest, GroupsMountsByDeviceInTableOrder) {
  Build(SampleTable);
  const VolumeExpectation expected[] = {
      {8, 1, DRIVE_FIXED, {"/", "/srv/shared", "/mnt/again"}},
      {8, 17, DRIVE_REMOVABLE, {"/mnt/usb stick"}},
      {0, 40, DRIVE_REMOTE, {"/net/home"}},
      {0, 41, DRIVE_RAMDISK, {"/tmp"}},
      {11, 0, DRIVE_CDROM, {"/media/cdrom"}},
      {0, 42, DRIVE_FIXED, {"/var/lib/docker/overlay"}},
      {0, 43, DRIVE_RAMDISK, {}},  // hidden under the tmpfs mounted on top of it
      {0, 44, DRIVE_RAMDISK, {"/dev/shm"}},
      {7, 0, DRIVE_CDROM, {"/snap/core/1"}},
      {8, 33, DRIVE_FIXED, {}},  // inside the hidden tree
      {8, 49, DRIVE_FIXED, {"/dev/shm/visible"}},
      {0, 50, DRIVE_REMOVABLE, {"/mnt/caf\xc3\xa9"}},  // anonymous number, removable by its source
  };
  ASSERT_EQ(table_.count, static_cast<int>(sizeof expected / sizeof expected[0]));
  for (int v = 0; v < table_.count; ++v) {
    const LinuxVolume& volume = table_.volumes[v];
    SCOPED_TRACE("volume " + std::to_string(v));
    EXPECT_EQ(volume.major, expected[v].major);
    EXPECT_EQ(volume.minor, expected[v].minor);
    EXPECT_EQ(volume.driveType, expected[v].driveType);
    EXPECT_EQ(Paths(volume), expected[v].paths);
  }
  EXPECT_EQ(table_.pathCount, 12);
}

TEST_F(VolumeTableTest, NamesComeFromTheUuidOrAHashAndAreAllDifferent) {
  Build(SampleTable);
  EXPECT_EQ(Name(*ByDevice(8, 1)), "\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\");
  for (int v = 0; v < table_.count; ++v) {
    std::string name = Name(table_.volumes[v]);
    EXPECT_EQ(name.size(), 49u) << name;
    EXPECT_EQ(name.rfind("\\\\?\\Volume{", 0), 0u) << name;
    for (int w = 0; w < v; ++w) EXPECT_NE(name, Name(table_.volumes[w]));
  }
  // The same table gives the same names again.
  LinuxVolumeTable again = {};
  std::string text = SampleTable;
  ASSERT_TRUE(BuildVolumeTable(&text[0], &SampleProbes, &again));
  for (int v = 0; v < table_.count; ++v) EXPECT_EQ(Name(again.volumes[v]), Name(table_.volumes[v]));
  FreeVolumeTable(&again);
}

TEST_F(VolumeTableTest, TwoFileSystemsWithOneUuidStillGetTwoNames) {
  // A copied disk: both carry the same UUID.
  const VolumeProbes sameUuid = {nullptr, [](unsigned, unsigned, const char*, unsigned char uuid[16]) {
                                   return ParseUuid("11111111-2222-3333-4444-555555555555", uuid);
                                 }};
  Build("27 1 8:1 / / rw - ext4 /dev/sda1 rw\n28 27 8:17 / /copy rw - ext4 /dev/sdb1 rw\n", &sameUuid);
  ASSERT_EQ(table_.count, 2);
  EXPECT_EQ(Name(table_.volumes[0]), "\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\");
  EXPECT_NE(Name(table_.volumes[1]), Name(table_.volumes[0]));
}

TEST_F(VolumeTableTest, WithoutProbesEveryLocalVolumeIsFixedAndNamedByHash) {
  Build(SampleTable, nullptr);
  EXPECT_EQ(ByDevice(8, 17)->driveType, static_cast<UINT>(DRIVE_FIXED));
  unsigned char id[16];
  HashVolumeId(8, 1, "ext4", "/dev/sda1", id);
  WCHAR name[LINUX_VOLUME_NAME_CAPACITY];
  FormatVolumeName(id, name);
  EXPECT_EQ(Name(*ByDevice(8, 1)), Utf8(reinterpret_cast<const char16_t*>(name)));
}

TEST_F(VolumeTableTest, AnEmptyOrPseudoOnlyTableHasNoVolumes) {
  Build("");
  EXPECT_EQ(table_.count, 0);
  FreeVolumeTable(&table_);
  Build("22 1 0:21 / /proc rw - proc proc rw\n23 1 0:22 / /sys rw - sysfs sysfs rw\n");
  EXPECT_EQ(table_.count, 0);
}

TEST_F(VolumeTableTest, MountPathListsAreWindowsMultiStrings) {
  Build(SampleTable);
  EXPECT_EQ(List(*ByDevice(8, 1)), std::u16string(u"/\0/srv/shared\0/mnt/again\0\0", 26));
  EXPECT_EQ(List(*ByDevice(0, 50)), std::u16string(u"/mnt/caf\u00e9\0\0", 11));
  EXPECT_EQ(List(*ByDevice(0, 43)), std::u16string(u"\0", 1));
  // The volume code takes one backslash off the end of every path, so one more is given.
  FreeVolumeTable(&table_);
  Build("27 1 8:1 / /end\\134 rw - ext4 /dev/sda1 rw\n28 27 8:1 / /x rw - ext4 /dev/sda1 rw\n");
  EXPECT_EQ(List(table_.volumes[0]), std::u16string(u"/end\\\\\0/x\0\0", 11));
  EXPECT_EQ(MountPathList(&table_, &table_.volumes[0], nullptr, 0), 11u);
  FreeVolumeTable(&table_);
  Build(SampleTable);

  // What does not fit is not written, and the length needed comes back.
  WCHAR small[25];
  for (WCHAR& ch : small) ch = u'#';
  EXPECT_EQ(MountPathList(&table_, ByDevice(8, 1), small, 25), 26u);
  EXPECT_EQ(small[0], u'#');
  EXPECT_EQ(MountPathList(&table_, ByDevice(8, 1), nullptr, 0), 26u);
  WCHAR exact[26];
  EXPECT_EQ(MountPathList(&table_, ByDevice(8, 1), exact, 26), 26u);
  EXPECT_EQ(exact[25], 0);
}

TEST_F(VolumeTableTest, FindsVolumesByNameAndByMountPoint) {
  Build(SampleTable);
  const LinuxVolume* root = ByDevice(8, 1);
  EXPECT_EQ(FindVolumeByName(&table_, reinterpret_cast<LPCWSTR>(
                                          u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\"),
                             true),
            root);
  EXPECT_EQ(FindVolumeByName(&table_, reinterpret_cast<LPCWSTR>(
                                          u"\\\\?\\VOLUME{11111111-2222-3333-4444-555555555555}"),
                             false),
            root);
  EXPECT_EQ(FindVolumeByName(&table_, reinterpret_cast<LPCWSTR>(
                                          u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}"),
                             true),
            nullptr);
  EXPECT_EQ(FindVolumeByName(&table_, reinterpret_cast<LPCWSTR>(
                                          u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\"),
                             false),
            nullptr);
  // The volume the caller probably means is checked first, exactly; any other is found
  // through the index, and a wrong guess changes nothing.
  struct Guess {
    const char16_t* name;
    bool trailingBackslash;
    int likely;
    const LinuxVolume* found;
  };
  const int rootAt = static_cast<int>(root - table_.volumes);
  const Guess guesses[] = {
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\", true, rootAt, root},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}", false, rootAt, root},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}", true, rootAt, nullptr},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\", false, rootAt, nullptr},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\x", true, rootAt, nullptr},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-5555555555", false, rootAt, nullptr},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555)\\", true, rootAt, nullptr},
      {u"\\\\?\\VOLUME{11111111-2222-3333-4444-555555555555}\\", true, rootAt, root},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\", true, rootAt + 1, root},
      {u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\", true, table_.count, root},
  };
  for (const Guess& g : guesses) {
    EXPECT_EQ(FindVolumeByName(&table_, reinterpret_cast<LPCWSTR>(g.name), g.trailingBackslash, g.likely),
              g.found)
        << Utf8(g.name) << " likely " << g.likely;
  }
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/")), root);
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/mnt/again/")), root);
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/mnt/usb stick")),
            ByDevice(8, 17));
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/mnt/caf\u00e9")),
            ByDevice(0, 50));
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/dev/shm")), ByDevice(0, 44));
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/TMP")), nullptr);
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"/proc")), nullptr);
  EXPECT_EQ(FindVolumeByMountPoint(&table_, reinterpret_cast<LPCWSTR>(u"")), nullptr);
}

struct ReachCase {
  const char* what;
  std::string table;  // each line a file system of its own
  Strings reached;    // the mount points that lead to their file system, in table order
};

TEST_F(VolumeTableTest, AMountPointCountsOnlyWhereItsPathLeadsToThatMount) {
  const ReachCase cases[] = {
      {"a parent directory covered by a later mount in the same parent",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n20 1 8:2 / /p/sub rw - ext4 /dev/sda2 rw\n"
       "21 1 0:30 / /p rw - tmpfs tmpfs rw\n",
       {"/", "/p"}},
      {"a sibling whose name only begins like a parent directory covers nothing",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n20 1 8:2 / /p/sub rw - ext4 /dev/sda2 rw\n"
       "21 1 8:3 / /p/su rw - ext4 /dev/sda3 rw\n",
       {"/", "/p/sub", "/p/su"}},
      {"a stack of three: only the top, and what is mounted inside the top",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n30 1 8:2 / /m rw - ext4 /dev/sda2 rw\n"
       "31 30 8:3 / /m rw - ext4 /dev/sda3 rw\n32 31 8:4 / /m rw - ext4 /dev/sda4 rw\n"
       "33 32 8:5 / /m/in rw - ext4 /dev/sda5 rw\n34 31 8:6 / /m/old rw - ext4 /dev/sda6 rw\n",
       {"/", "/m", "/m/in"}},
      {"a mount moved under another mount, listed before it",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n40 45 8:2 / /y/sub rw - ext4 /dev/sda2 rw\n"
       "45 1 8:3 / /y rw - ext4 /dev/sda3 rw\n",
       {"/", "/y/sub", "/y"}},
      {"the same, once a mount is stacked on its new parent",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n40 45 8:2 / /y/sub rw - ext4 /dev/sda2 rw\n"
       "45 1 8:3 / /y rw - ext4 /dev/sda3 rw\n46 45 0:31 / /y rw - tmpfs tmpfs rw\n",
       {"/", "/y"}},
      // Covering directories are looked up by length: lengths from 63 on share one mark.
      {"a covered parent directory of 62 bytes, under a mount point of more than 62",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n20 1 8:2 / /" + std::string(61, 'e') + "/sub rw - ext4 /dev/sda2 rw\n"
       "21 1 0:30 / /" + std::string(61, 'e') + " rw - tmpfs tmpfs rw\n",
       {"/", "/" + std::string(61, 'e')}},
      {"a covered parent directory of more than 63 bytes",
       "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n20 1 8:2 / /" + std::string(70, 'd') + "/sub rw - ext4 /dev/sda2 rw\n"
       "21 1 0:30 / /" + std::string(70, 'd') + " rw - tmpfs tmpfs rw\n",
       {"/", "/" + std::string(70, 'd')}},
      {"a container: its root's parent is outside, the host disk reached through a file",
       "600 599 0:50 / / rw - overlay overlay rw\n"
       "601 600 8:1 /var/lib/containers/c1/hosts /etc/hosts rw - ext4 /dev/sda1 rw\n",
       {"/", "/etc/hosts"}},
  };
  // Each table is built anew in the memory of the one before.
  for (const ReachCase& c : cases) {
    Build(c.table.c_str());
    Strings reached;
    for (int i = 0; i < table_.pathCount; ++i) reached.push_back(table_.paths[i].path);
    EXPECT_EQ(reached, c.reached) << c.what;
  }
}

// Each volume's name, drive type and mount points.
Strings Describe(const LinuxVolumeTable& table) {
  Strings lines;
  for (int v = 0; v < table.count; ++v) {
    std::string line = Name(table.volumes[v]) + " " + std::to_string(table.volumes[v].driveType);
    for (int i = 0; i < table.volumes[v].pathCount; ++i) line += " " + std::string(table.paths[table.volumes[v].firstPath + i].path);
    lines.push_back(line);
  }
  return lines;
}

TEST_F(VolumeTableTest, ATableReadThroughABufferOfAnySizeIsTheTableOfTheWholeText) {
  // The sample, a line longer than the smaller buffers, a last line without its line end.
  const std::string text = std::string(SampleTable) + "42 27 8:65 / /" + std::string(300, 'x') +
                           " rw - ext4 /dev/sde1 rw\n43 27 8:81 / /last rw - ext4 /dev/sdf1 rw";
  Build(text.c_str());
  const Strings whole = Describe(table_);
  ASSERT_EQ(whole.size(), 14u);
  ASSERT_EQ(whole.back().substr(whole.back().size() - 6), " /last");
  // The kernel hands out as much as fits, so the buffer's size decides where reads end.
  for (size_t capacity : {1, 2, 7, 64, 4096}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(ends[1]);
    std::vector<char> buffer(capacity);
    LinuxVolumeTable read = {};
    EXPECT_EQ(ReadVolumeTable(ends[0], buffer.data(), capacity, &SampleProbes, &read), 0);
    close(ends[0]);
    EXPECT_EQ(Describe(read), whole) << "buffer of " << capacity;
    FreeVolumeTable(&read);
  }
  char buffer[64];
  LinuxVolumeTable failed = {};
  EXPECT_EQ(ReadVolumeTable(-1, buffer, sizeof buffer, &SampleProbes, &failed), EBADF);
  EXPECT_EQ(failed.count, 0);
}

TEST_F(VolumeTableTest, ALargeTableStaysWholeWhereItsRecordsMoveOnToOtherPages) {
  std::string text = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
  const int volumes = 6000;  // records of more than 192 KB
  for (int i = 0; i < volumes; ++i) {
    text += std::to_string(100 + i) + " 1 0:" + std::to_string(100 + i) + " / /srv/volume-" + std::to_string(i) +
            " rw - tmpfs tmpfs rw\n";
  }
  Build(text.c_str());
  ASSERT_EQ(table_.count, volumes + 1);
  for (int v = 1; v <= volumes; ++v) ASSERT_EQ(Paths(table_.volumes[v]), Strings{"/srv/volume-" + std::to_string(v - 1)});
}

TEST_F(VolumeTableTest, MountsInALoopOfParentLinksAreNotTrusted) {
  Build("50 51 8:1 / /a rw - ext4 /dev/sda1 rw\n51 50 8:2 / /b rw - ext4 /dev/sda2 rw\n");
  ASSERT_EQ(table_.count, 2);
  EXPECT_EQ(table_.volumes[0].pathCount, 0);
  EXPECT_EQ(table_.volumes[1].pathCount, 0);
}

}  // namespace
