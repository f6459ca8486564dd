// The one-shot flush of the real programs. The Linux program selects this machine's file
// systems by mount path, by volume name and by wildcard, and really writes them out: the
// Dirty figure of /proc/meminfo falls when it flushes the file system of fresh unwritten
// data. Under Wine no volume takes part at all (see WineFlush below).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// One "Flushing <name> (<path>,<path>)" line taken apart.
struct FlushLine {
  std::string name;
  std::vector<std::string> paths;
};

bool ParseFlushLine(const std::string& line, FlushLine* parsed) {
  static const std::regex shape(
      R"(Flushing (\\\\\?\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}\\)(?: \((.*)\))?)");
  std::smatch match;
  if (!std::regex_match(line, match, shape)) return false;
  parsed->name = match[1];
  parsed->paths.clear();
  std::stringstream paths(match[2]);
  for (std::string path; std::getline(paths, path, ',');) parsed->paths.push_back(path);
  return true;
}

ProcessResult RunLinux(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {LinuxProgram()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv);
}

// A line of /proc/self/mountinfo: device, mount point and type (mount points with escaped
// characters are left out; the tests need only plain ones).
struct Mount {
  unsigned major, minor;
  std::string mountPoint;
  std::string fsType;
};

std::vector<Mount> Mounts() {
  std::vector<Mount> mounts;
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    fields >> id >> parent >> device >> root >> mountPoint;
    while (fields >> field && field != "-") {
    }
    Mount mount;
    fields >> mount.fsType;
    if (mountPoint.find('\\') != std::string::npos) continue;
    if (sscanf(device.c_str(), "%u:%u", &mount.major, &mount.minor) != 2) continue;
    mount.mountPoint = mountPoint;
    mounts.push_back(mount);
  }
  return mounts;
}

class LinuxFlush : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat info;
    ASSERT_EQ(0, stat(LinuxProgram().c_str(), &info)) << LinuxProgram() << " is not built";
    ProcessResult all = RunLinux({"-v"});
    ASSERT_EQ(0, all.exitCode) << all.err;
    ASSERT_EQ("", all.err);
    allOut = all.out;
    for (const std::string& line : Lines(all.out)) {
      FlushLine parsed;
      ASSERT_TRUE(ParseFlushLine(line, &parsed)) << line;
      flushed.push_back(parsed);
      for (const std::string& path : parsed.paths) {
        if (path == "/") rootLine = line + "\r\n";
      }
    }
  }

  std::string allOut;              // what "-v" alone shows
  std::vector<FlushLine> flushed;  // its lines, taken apart
  std::string rootLine;            // its line of the volume mounted at "/"
};

TEST_F(LinuxFlush, WithoutTemplatesEveryEligibleFileSystemIsFlushedOnce) {
  ASSERT_FALSE(flushed.empty());
  ASSERT_FALSE(rootLine.empty()) << "the file system at / was not flushed:\n" << allOut;
  for (size_t i = 0; i < flushed.size(); ++i) {
    EXPECT_FALSE(flushed[i].paths.empty()) << flushed[i].name;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(flushed[i].name, flushed[j].name);
    for (const std::string& path : flushed[i].paths) {
      EXPECT_NE(path, "/proc");
      EXPECT_NE(path, "/sys");
    }
  }
  // Without -v the same run shows nothing.
  ProcessResult quiet = RunLinux({});
  EXPECT_EQ(0, quiet.exitCode);
  EXPECT_EQ("", quiet.out);
  EXPECT_EQ("", quiet.err);
}

TEST_F(LinuxFlush, TemplatesSelectByMountPathNameAndWildcard) {
  ASSERT_FALSE(rootLine.empty());
  FlushLine root;
  ASSERT_TRUE(ParseFlushLine(rootLine.substr(0, rootLine.size() - 2), &root));
  std::string upperName = root.name;
  for (char& ch : upperName) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Case cases[] = {
      {{"-v", "/"}, rootLine},
      {{"-v", root.name}, rootLine},
      {{"-v", upperName}, rootLine},  // names are matched without regard to case
      {{"-v", root.name.substr(0, 20) + "*"}, rootLine},
      {{"-v", "?"}, rootLine},  // "/" is the only one-character mount path
      {{"-v", "\\\\?\\Volume{*}\\"}, allOut},
      {{"-v", "/*"}, allOut},
      {{"-v", "/", "/"}, rootLine + rootLine},  // once per template that selects it
  };
  for (const Case& c : cases) {
    ProcessResult result = RunLinux(c.arguments);
    EXPECT_EQ(0, result.exitCode) << c.arguments[1];
    EXPECT_EQ(c.out, result.out) << c.arguments[1];
    EXPECT_EQ("", result.err) << c.arguments[1];
  }
}

TEST_F(LinuxFlush, TemplatesThatSelectNothingAreReported) {
  ASSERT_FALSE(flushed.empty());
  std::vector<std::string> templates = {
      "/no/such/mount",
      "/proc",                                    // a kernel interface, no volume
      flushed[0].name.substr(0, 48),              // a volume name without its backslash
      "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\",
  };
  // A RAM disk is a volume, but never one that is flushed.
  for (const Mount& mount : Mounts()) {
    if (mount.fsType == "tmpfs") {
      bool alsoElsewhere = false;  // the same mount point may hold another file system on top
      for (const Mount& other : Mounts()) {
        alsoElsewhere |= other.mountPoint == mount.mountPoint && other.fsType != "tmpfs";
      }
      if (!alsoElsewhere) {
        templates.push_back(mount.mountPoint);
        break;
      }
    }
  }
  for (const std::string& text : templates) {
    ProcessResult result = RunLinux({"-v", text});
    EXPECT_EQ(0, result.exitCode) << text;
    EXPECT_EQ("", result.out) << text;
    EXPECT_EQ("Volume \"" + text + "\" not found\r\n", result.err) << text;
  }
}

// ---- Writing out for real ------------------------------------------------------------------

// The Dirty figure of /proc/meminfo in KiB; -1 when the kernel does not show it.
long DirtyKib() {
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    long value;
    if (sscanf(line.c_str(), "Dirty: %ld kB", &value) == 1) return value;
  }
  return -1;
}

// The mount point of the file system that holds `directory`, if that file system keeps its
// data on a disk (no RAM disk, no network).
std::string DiskMountPointOf(const std::string& directory) {
  struct stat info;
  if (stat(directory.c_str(), &info) != 0) return "";
  std::string best;
  std::string bestType;
  for (const Mount& mount : Mounts()) {
    if (mount.major != major(info.st_dev) || mount.minor != minor(info.st_dev)) continue;
    std::string prefix = mount.mountPoint == "/" ? "/" : mount.mountPoint + "/";
    if ((directory + "/").compare(0, prefix.size(), prefix) != 0) continue;
    if (mount.mountPoint.size() >= best.size()) {
      best = mount.mountPoint;
      bestType = mount.fsType;
    }
  }
  const char* const notOnDisk[] = {"tmpfs", "ramfs", "nfs", "nfs4", "cifs", "smb3", "9p", "virtiofs"};
  for (const char* type : notOnDisk) {
    if (bestType == type) return "";
  }
  return best;
}

TEST_F(LinuxFlush, FlushingAMountPathWritesOutItsDirtyData) {
  if (DirtyKib() < 0) GTEST_SKIP() << "this kernel shows no Dirty figure in /proc/meminfo";
  std::string directory, mountPoint;
  for (const std::string& candidate : {SourceDir() + "/build", std::string("/var/tmp"), std::string("/tmp")}) {
    mountPoint = DiskMountPointOf(candidate);
    if (!mountPoint.empty() && access(candidate.c_str(), W_OK) == 0) {
      directory = candidate;
      break;
    }
  }
  ASSERT_FALSE(directory.empty()) << "no writable directory on a disk-backed file system";

  const size_t Size = 128u << 20;  // far above what the rest of the machine dirties meanwhile
  std::vector<char> block(1 << 20);
  bool measured = false;
  for (int attempt = 0; attempt < 3 && !measured; ++attempt) {
    std::string path = directory + "/sorvanel-dirty-XXXXXX";
    int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0) << path;
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + attempt);
    for (size_t written = 0; written < Size; written += block.size()) {
      ASSERT_EQ(static_cast<ssize_t>(block.size()), write(fd, block.data(), block.size()));
    }
    close(fd);  // no fsync: the data stays in the page cache, dirty
    long before = DirtyKib();
    if (before >= static_cast<long>(Size >> 11)) {
      measured = true;
      ProcessResult result = RunLinux({"-v", mountPoint});
      long after = DirtyKib();
      RecordProperty("DirtyKiBBefore", static_cast<int>(before));
      RecordProperty("DirtyKiBAfter", static_cast<int>(after));
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_EQ("", result.err);
      FlushLine line;
      ASSERT_TRUE(ParseFlushLine(result.out.substr(0, result.out.find("\r\n")), &line)) << result.out;
      EXPECT_NE(std::find(line.paths.begin(), line.paths.end(), mountPoint), line.paths.end())
          << result.out;
      EXPECT_LT(after, before - static_cast<long>(Size >> 11))
          << "Dirty was " << before << " kB before the flush of " << mountPoint << " and " << after
          << " kB after it";
    }
    unlink(path.c_str());
  }
  if (!measured) {
    GTEST_SKIP() << "the kernel does not count the unwritten data of " << mountPoint
                 << " in Dirty (three writes of 128 MiB never showed)";
  }
}

// ---- Mounts as containers and busy hosts have them ----------------------------------------

// A shell script run as root in a private mount namespace of its own, which takes everything
// mounted there with it when it ends. The script finds the program in $P and a directory in
// $W with a tmpfs mounted on it, and two ext4 images there, a.img and b.img. It exits with
// 77 when this machine cannot loop-mount an image.
ProcessResult InPrivateNamespace(const std::string& directory, const std::string& script) {
  const std::string prelude =
      "W=" + directory + "; P=" + LinuxProgram() + "\n"
      "mkdir -p \"$W\" && mount -t tmpfs tmpfs \"$W\"\n"
      "trap 'umount -l \"$W\" && rmdir \"$W\"' EXIT\n"
      "for image in a b; do truncate -s 16M \"$W/$image.img\" && "
      "mkfs.ext4 -q -F \"$W/$image.img\" || exit 77; done\n"
      "mkdir \"$W/a\" \"$W/b\"\n"
      "mount -o loop \"$W/a.img\" \"$W/a\" && mount -o loop \"$W/b.img\" \"$W/b\" || exit 77\n";
  ProcessOptions options;
  options.timeoutSeconds = 60;
  return RunProcess({"unshare", "-m", "--propagation", "private", "/bin/sh", "-c", prelude + script},
                    options);
}

// Why mount tests cannot run here; empty when they can.
std::string WhyNoPrivateMounts() {
  if (geteuid() != 0) return "mounting needs root";
  if (RunProcess({"unshare", "-m", "--propagation", "private", "true"}).exitCode != 0) {
    return "no private mount namespace can be made here";
  }
  if (RunProcess({"mkfs.ext4", "-V"}).exitCode != 0) return "mkfs.ext4 is missing";
  if (RunProcess({"setpriv", "--version"}).exitCode != 0) return "setpriv is missing";
  return "";
}

struct NamespaceCase {
  const char* what;
  const char* script;  // the mounts, then the program's run; $W is the directory
  const char* out;     // the expected output, $W and GUID standing for what they are
  const char* err;
  int exitCode;
};

// Fills in $W, and turns the rest into a pattern in which GUID stands for any volume GUID and
// PAD for a run of x.
std::regex Expected(const std::string& text, const std::string& directory) {
  std::string pattern;
  auto literal = [&pattern](char ch) {
    if (strchr(".[]{}()*+?^$|\\", ch)) pattern += '\\';
    pattern += ch;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "$W") == 0) {
      for (char ch : directory) literal(ch);
      ++i;
    } else if (text.compare(i, 4, "GUID") == 0) {
      pattern += "[0-9a-f-]{36}";
      i += 3;
    } else if (text.compare(i, 3, "PAD") == 0) {
      pattern += "x+";
      i += 2;
    } else {
      literal(text[i]);
    }
  }
  return std::regex(pattern);
}

// Also: a file system with more mount paths than 260 characters hold is still found by its
// short one, and a run that could open none of the file systems it tried exits with 7.
TEST(LinuxMounts, OnlyMountPointsThatLeadToTheirFileSystemCountAndEachIsOpenedSafely) {
  std::string why = WhyNoPrivateMounts();
  if (!why.empty()) GTEST_SKIP() << why;
  const NamespaceCase cases[] = {
      {"a file system hidden under a mount on a parent directory has no mount path",
       "mkdir -p \"$W/p/sub\" && mount --move \"$W/a\" \"$W/p/sub\" && mount -t tmpfs tmpfs \"$W/p\"\n"
       "\"$P\" -v \"$W/p/sub\" \"$W/b\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/b)\r\n", "Volume \"$W/p/sub\" not found\r\n", 0},
      {"the top of a stack of three is reached, the two below are not",
       "mount -t tmpfs tmpfs \"$W/b\" && mount --bind \"$W/a\" \"$W/b\"\n"
       "\"$P\" -v \"$W/b\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/a,$W/b)\r\n", "", 0},
      {"a mount point whose name ends in a backslash is named exactly, and shown doubled",
       "mkdir \"$W/end\\\\\" && mount --move \"$W/a\" \"$W/end\\\\\"\n"
       "\"$P\" -v \"$W/end\\\\\" \"$W/end\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/end\\\\)\r\n", "Volume \"$W/end\" not found\r\n", 0},
      {"a volume reached only through a FIFO is refused, never opened for reading",
       "mkfifo \"$W/a/fifo\" && touch \"$W/node\" && mount --bind \"$W/a/fifo\" \"$W/node\" && umount \"$W/a\"\n"
       "\"$P\" -v \"$W/node\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/node)\r\n",
       "Cannot open \\\\?\\Volume{GUID}\\ (5 - Access is denied)\r\n", 7},
      {"four more mount points of 78 characters each: the list is read in full",
       "for n in 1 2 3 4; do d=\"$W/$n\"; while [ ${#d} -lt 78 ]; do d=\"${d}x\"; done\n"
       "mkdir \"$d\" && mount --bind \"$W/a\" \"$d\" || exit 1; done\n"
       "\"$P\" -v \"$W/a\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/a,$W/1PAD,$W/2PAD,$W/3PAD,$W/4PAD)\r\n", "", 0},
      {"a user who may not open the file system's root flushes nothing: 7",
       "chmod 700 \"$W/a\" && setpriv --reuid=65534 --regid=65534 --clear-groups \"$P\" -v \"$W/a\"",
       "Flushing \\\\?\\Volume{GUID}\\ ($W/a)\r\n",
       "Cannot open \\\\?\\Volume{GUID}\\ (5 - Access is denied)\r\n", 7},
  };
  std::string directory = "/tmp/sorvanel-mounts-" + std::to_string(getpid());
  for (const NamespaceCase& c : cases) {
    ProcessResult result = InPrivateNamespace(directory, c.script);
    if (result.exitCode == 77) GTEST_SKIP() << "no image can be loop-mounted here: " << result.err;
    EXPECT_EQ(c.exitCode, result.exitCode) << c.what << "\n" << result.err;
    EXPECT_TRUE(std::regex_match(result.out, Expected(c.out, directory))) << c.what << "\n" << result.out;
    EXPECT_TRUE(std::regex_match(result.err, Expected(c.err, directory))) << c.what << "\n" << result.err;
  }
}

// Inside a container the host's disk is often reached only through files mounted from it
// (/etc/hosts and the like). Flushing through such a file mount writes the disk: the loop
// device's count of written sectors grows by what was dirty.
TEST(LinuxMounts, AFileSystemReachedOnlyThroughAFileMountIsWrittenOut) {
  std::string why = WhyNoPrivateMounts();
  if (!why.empty()) GTEST_SKIP() << why;
  const char script[] =
      "touch \"$W/a/hosts\" \"$W/hosts\" && mount --bind \"$W/a/hosts\" \"$W/hosts\" && umount \"$W/a\"\n"
      "loop=$(losetup -j \"$W/a.img\" | cut -d: -f1); loop=${loop#/dev/}\n"
      "dd if=/dev/urandom of=\"$W/hosts\" bs=1M count=4 conv=notrunc status=none\n"
      "before=$(awk '{print $7}' /sys/block/$loop/stat)\n"
      "\"$P\" \"$W/hosts\" || exit 1\n"
      "after=$(awk '{print $7}' /sys/block/$loop/stat)\n"
      "echo $((after - before))\n";
  ProcessResult result = InPrivateNamespace("/tmp/sorvanel-file-" + std::to_string(getpid()), script);
  if (result.exitCode == 77) GTEST_SKIP() << "no image can be loop-mounted here: " << result.err;
  ASSERT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("", result.err);
  long sectors = atol(result.out.c_str());
  EXPECT_GE(sectors, 4L << 11) << "sectors written by the flush: " << result.out;
}

// ---- Under Wine ------------------------------------------------------------------------------

// Wine answers GetDriveTypeW for every volume GUID path with DRIVE_UNKNOWN, so no volume is
// eligible: every template is reported as not found and a run without templates flushes
// nothing, still with exit code 0. On Windows the same command lines flush the fixed,
// removable and remote volumes (C: and the rest) and show a "Flushing" line for each.
class WineFlush : public ::testing::TestWithParam<WindowsImage> {};

TEST_P(WineFlush, NoVolumeTakesPartSoEveryTemplateIsNotFound) {
  SKIP_UNLESS_IMAGE_RUNS(GetParam());
  const std::string program = WindowsBuild(GetParam());
  struct stat info;
  ASSERT_EQ(0, stat(program.c_str(), &info)) << program << " is not built";
  ProcessResult all = RunWine({program, "-v"});
  EXPECT_EQ(0, all.exitCode) << all.err;
  EXPECT_EQ("", all.out);
  EXPECT_EQ("", all.err);

  ProcessResult some = RunWine({program, "-v", "C:", "D:\\Data\\*", "\\\\?\\Volume{*}\\", "c:"});
  EXPECT_EQ(0, some.exitCode) << some.err;
  EXPECT_EQ("", some.out);
  EXPECT_EQ(
      "Volume \"C:\" not found\r\n"
      "Volume \"D:\\Data\\*\" not found\r\n"
      "Volume \"\\\\?\\Volume{*}\\\" not found\r\n"
      "Volume \"c:\" not found\r\n",
      some.err);
}

INSTANTIATE_TEST_SUITE_P(Images, WineFlush, ::testing::ValuesIn(BothImages),
                         [](const ::testing::TestParamInfo<WindowsImage>& info) {
                           return std::string(ImageName(info.param));
                         });

}  // namespace
