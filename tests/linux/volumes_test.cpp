// Volumes and files of the Linux backend on the machine the tests run on: the enumeration,
// mount-path lists, drive types, opening a volume by its device name and writing it out,
// and CreateFileW and FlushFileBuffers on plain files.
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backend_test.h"

namespace {

class Volumes : public BackendTest {
 protected:
  static std::vector<std::u16string> AllVolumes() {
    std::vector<std::u16string> names;
    WCHAR name[MAX_PATH];
    HANDLE search = FindFirstVolumeW(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(name);
    while (FindNextVolumeW(search, name, MAX_PATH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    EXPECT_TRUE(FindVolumeClose(search));
    return names;
  }

  // The mount paths of a volume, one string each; none when the call fails.
  static std::vector<std::u16string> MountPaths(LPCWSTR volume) {
    WCHAR list[4096];
    DWORD length = 0;
    std::vector<std::u16string> paths;
    if (!GetVolumePathNamesForVolumeNameW(volume, list, 4096, &length)) return paths;
    for (DWORD at = 0; at + 1 < length;) {
      std::u16string path(list + at);
      paths.push_back(path);
      at += static_cast<DWORD>(path.size()) + 1;
    }
    return paths;
  }

  // The volume mounted at "/", which every machine has.
  static std::u16string RootVolume() {
    for (const std::u16string& name : AllVolumes()) {
      for (const std::u16string& path : MountPaths(name.c_str())) {
        if (path == u"/") return name;
      }
    }
    return std::u16string();
  }
};

TEST_F(Volumes, TheEnumerationYieldsWellFormedDistinctNames) {
  std::vector<std::u16string> names = AllVolumes();
  ASSERT_FALSE(names.empty());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::u16string& name = names[i];
    EXPECT_EQ(name.size(), 49u);
    EXPECT_EQ(name.substr(0, 11), u"\\\\?\\Volume{");
    EXPECT_EQ(name.substr(47), u"}\\");
    for (size_t j = 0; j < i; ++j) EXPECT_NE(name, names[j]);
  }
  // Asked again, the machine gives the same names in the same order, also to a search
  // that begins while another one is open: each search keeps the table it began with.
  WCHAR name[MAX_PATH];
  HANDLE outer = FindFirstVolumeW(name, MAX_PATH);
  ASSERT_NE(outer, INVALID_HANDLE_VALUE);
  std::vector<std::u16string> again = {name};
  EXPECT_EQ(AllVolumes(), names);
  while (FindNextVolumeW(outer, name, MAX_PATH)) again.push_back(name);
  EXPECT_TRUE(FindVolumeClose(outer));
  EXPECT_EQ(again, names);
}

TEST_F(Volumes, TheRootFileSystemIsAVolumeMountedAtSlash) {
  std::u16string root = RootVolume();
  ASSERT_FALSE(root.empty());
  UINT type = GetDriveTypeW(root.c_str());
  EXPECT_TRUE(type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_REMOTE) << type;
  EXPECT_EQ(GetDriveTypeW(u"/"), type);
  EXPECT_EQ(GetDriveTypeW(u"/proc"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(GetDriveTypeW(u"/no/such/mount"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST_F(Volumes, AMountListThatDoesNotFitAsksForMoreRoom) {
  std::u16string root = RootVolume();
  ASSERT_FALSE(root.empty());
  WCHAR list[4096];
  DWORD needed = 0;
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(root.c_str(), list, 4096, &needed));
  ASSERT_GE(needed, 3u);
  WCHAR small[4096];
  DWORD asked = 0;
  SetLastError(0);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(root.c_str(), small, needed - 1, &asked));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(asked, needed);
  DWORD exact = 0;
  EXPECT_TRUE(GetVolumePathNamesForVolumeNameW(root.c_str(), small, needed, &exact));
  EXPECT_EQ(exact, needed);
  EXPECT_EQ(std::u16string(small, needed), std::u16string(list, needed));
}

TEST_F(Volumes, NamesThatAreNoVolumesAreRefused) {
  std::u16string root = RootVolume();
  ASSERT_FALSE(root.empty());
  WCHAR list[260];
  DWORD length = 0;
  std::u16string withoutBackslash = root.substr(0, root.size() - 1);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(withoutBackslash.c_str(), list, 260, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  std::u16string unknown = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(unknown.c_str(), list, 260, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(GetDriveTypeW(unknown.c_str()), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

  HANDLE volume = CreateFileW(u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}", GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(volume, INVALID_HANDLE_VALUE);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // The device is the name without its backslash; with it the name is the root directory,
  // which does not open without backup semantics.
  volume = CreateFileW(root.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(volume, INVALID_HANDLE_VALUE);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

// While a search is open, the buffer it wrote a name into is answered from that name only
// when it still holds it; whatever the caller wrote there since is read as it stands.
TEST_F(Volumes, TheBufferASearchFilledIsReadAsItStandsNow) {
  // Another volume's name than the first: the root's, or when that is the first, the last one's.
  const std::u16string root = RootVolume(), last = AllVolumes().back();
  WCHAR name[MAX_PATH];
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  const std::u16string given = name, other = root != given ? root : last;
  std::u16string otherDigit = given;
  otherDigit[12] = otherDigit[12] == u'0' ? u'1' : u'0';
  const struct {
    std::u16string text;   // what the buffer holds when asked
    std::u16string named;  // the volume that answers; none: the call fails with `error`
    DWORD error;
  } edits[] = {
      {given, given, 0},
      {u"\\\\?\\VOLUME" + given.substr(10), given, 0},
      {other, other, 0},
      {otherDigit, u"", ERROR_FILE_NOT_FOUND},
      {given.substr(0, 48), u"", ERROR_INVALID_NAME},
  };
  for (const auto& edit : edits) {
    std::copy(edit.text.begin(), edit.text.end(), name);
    name[edit.text.size()] = 0;
    SetLastError(0);
    const std::vector<std::u16string> paths = MountPaths(name);
    if (edit.named.empty()) {
      EXPECT_EQ(GetLastError(), edit.error);
      EXPECT_TRUE(paths.empty());
    } else {
      EXPECT_EQ(paths, MountPaths(edit.named.c_str()));
    }
  }
  EXPECT_TRUE(FindVolumeClose(search));
}

TEST_F(Volumes, AVolumeOpensByItsDeviceNameAndIsWrittenOut) {
  std::u16string root = RootVolume();
  ASSERT_FALSE(root.empty());
  std::u16string device = root.substr(0, root.size() - 1);
  for (char16_t& ch : device) {
    if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);  // case does not matter
  }
  HANDLE volume = CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(FlushFileBuffers(volume)) << GetLastError();
  EXPECT_TRUE(CloseHandle(volume));
}

TEST_F(Volumes, ASearchGivesNoNameIntoABufferTooSmall) {
  WCHAR name[MAX_PATH];
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  WCHAR small[10];
  BOOL more = FindNextVolumeW(search, small, 10);
  EXPECT_FALSE(more);
  DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_NO_MORE_FILES) << error;
  EXPECT_TRUE(FindVolumeClose(search));
  EXPECT_EQ(FindFirstVolumeW(small, 10), INVALID_HANDLE_VALUE);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
  EXPECT_FALSE(FindVolumeClose(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// What the calls of a flush pass see while its search is open: the mount table as the
// search found it, while the open checks where the path leads now. Run in a child process
// with a private mount namespace; its exit code tells which check failed.
int SnapshotAndRaceChecks() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return 77;
  }
  char directory[] = "/tmp/sorvanel-race-XXXXXX";
  if (!mkdtemp(directory) || mount("tmpfs", directory, "tmpfs", 0, nullptr) != 0) return 77;
  std::u16string path = Wide(directory);
  WCHAR name[MAX_PATH];
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  std::u16string ours;
  for (bool more = search != INVALID_HANDLE_VALUE; more && ours.empty(); more = FindNextVolumeW(search, name, MAX_PATH)) {
    WCHAR list[MAX_PATH];
    DWORD length = 0;
    if (GetVolumePathNamesForVolumeNameW(name, list, MAX_PATH, &length) && path == list) ours = name;
  }
  int result = ours.empty() ? 1 : 0;
  // Another file system mounted on top hides the one the search found there.
  if (result == 0 && mount("tmpfs", directory, "tmpfs", 0, nullptr) != 0) result = 77;
  WCHAR list[MAX_PATH];
  DWORD length = 0;
  if (result == 0 && (!GetVolumePathNamesForVolumeNameW(ours.c_str(), list, MAX_PATH, &length) || path != list)) {
    result = 2;  // the search's table was not kept
  }
  std::u16string device = ours.substr(0, ours.size() - 1);
  HANDLE volume = result == 0 ? CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr)
                              : INVALID_HANDLE_VALUE;
  if (result == 0 && (volume != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND)) {
    result = 3;  // opened what lies on top, not the volume
  }
  if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
  if (search != INVALID_HANDLE_VALUE) FindVolumeClose(search);
  // Without a search each call reads the mount table afresh: the hidden one has no path now.
  if (result == 0 && (!GetVolumePathNamesForVolumeNameW(ours.c_str(), list, MAX_PATH, &length) || length != 1)) {
    result = 4;
  }
  umount2(directory, MNT_DETACH);
  umount2(directory, MNT_DETACH);
  rmdir(directory);
  return result;
}

TEST_F(Volumes, APassSeesTheTableOfItsSearchAndOpensOnlyWhatThePathStillLeadsTo) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(SnapshotAndRaceChecks());
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace can be made here";
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: the tmpfs was not found, 2: the search's table was not "
                                       "kept, 3: the hidden volume was opened, 4: a fresh table was not read";
}

// What the process may still map, and make usable, decides where the mount table is built:
// with little address space left, in a smaller reservation; with none, or with no memory to
// make usable, the enumeration fails as an allocation does, and leaks nothing.
struct MemoryLimit {
  const char* what;
  int resource;   // RLIMIT_AS or RLIMIT_DATA
  long room;      // bytes beyond what the process has mapped now
  DWORD error;    // 0: the enumeration succeeds
};

// The process's mapped bytes of one kind, from /proc/self/status ("VmSize:" or "VmData:").
long MappedBytes(const char* field) {
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (status && fgets(line, sizeof line, status)) {
    if (strncmp(line, field, strlen(field)) == 0) kib = atol(line + strlen(field));
  }
  if (status) fclose(status);
  return kib * 1024;
}

// Runs in a child process; its exit code tells which check failed.
int EnumerateUnderLimit(const MemoryLimit& limit) {
  // A search holds the current table, so that the next one needs memory of its own.
  WCHAR name[MAX_PATH];
  HANDLE held = FindFirstVolumeW(name, MAX_PATH);
  if (held == INVALID_HANDLE_VALUE) return 10;
  const int live = LinuxLiveObjectCount();
  const long used = MappedBytes(limit.resource == RLIMIT_AS ? "VmSize:" : "VmData:");
  const size_t heapInUse = mallinfo2().uordblks;
  struct rlimit bound = {static_cast<rlim_t>(used + limit.room), static_cast<rlim_t>(used + limit.room)};
  if (used < 0 || setrlimit(limit.resource, &bound) != 0) return 11;
  // Asked many times, so that a block left behind each time shows above the blocks that
  // the C library keeps aside for reuse.
  for (int attempt = 0; attempt < 200; ++attempt) {
    SetLastError(0);
    HANDLE search = FindFirstVolumeW(name, MAX_PATH);
    DWORD error = search == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (search != INVALID_HANDLE_VALUE) FindVolumeClose(search);
    if (error != limit.error) return 1;
  }
  if (LinuxLiveObjectCount() != live) return 2;
  if (mallinfo2().uordblks > heapInUse + 4096) return 4;
  return FindVolumeClose(held) ? 0 : 3;
}

TEST_F(Volumes, TheTableIsHeldInTheMemoryThatTheProcessMayStillUse) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator needs address space that these limits refuse";
#endif
  const MemoryLimit limits[] = {
      {"no address space left", RLIMIT_AS, 1 << 20, ERROR_NOT_ENOUGH_MEMORY},
      {"address space for a smaller reservation", RLIMIT_AS, 32 << 20, 0},
      {"address space, but no memory to make usable", RLIMIT_DATA, 64 << 10, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const MemoryLimit& limit : limits) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(EnumerateUnderLimit(limit));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << limit.what;
    EXPECT_EQ(0, WEXITSTATUS(status)) << limit.what << " (1: another result, 2: a handle leaked, 4: a heap block leaked, 10, 11: no start)";
  }
}

// ---- Plain files ------------------------------------------------------------------------------

class Files : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    char pattern[] = "/tmp/sorvanel-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    file = directory + "/settings.ini";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "[Main]\n", 7), 7);
    close(fd);
  }
  void TearDown() override {
    unlink(file.c_str());
    rmdir(directory.c_str());
    BackendTest::TearDown();
  }
  static std::u16string W(const std::string& path) { return Wide(path.c_str()); }

  std::string directory;
  std::string file;
};

HANDLE Open(const std::u16string& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(Files, AnExistingFileOpensForReading) {
  HANDLE handle = Open(W(file), GENERIC_READ);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  // Windows writes out a file only through a handle that may write.
  EXPECT_FALSE(FlushFileBuffers(handle));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(CloseHandle(handle));

  handle = Open(W(file), GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(FlushFileBuffers(handle));
  EXPECT_TRUE(CloseHandle(handle));
}

struct OpenFailure {
  const char* path;  // under the test's directory
  DWORD disposition;
  DWORD error;
};

TEST_F(Files, FailedOpensGiveTheErrorsOfWindows) {
  const OpenFailure cases[] = {
      {"/missing.ini", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"/missing/settings.ini", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"/settings.ini/below", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"", OPEN_EXISTING, ERROR_ACCESS_DENIED},  // the directory itself
      {"/settings.ini", 2 /* CREATE_ALWAYS */, ERROR_INVALID_PARAMETER},
  };
  for (const OpenFailure& c : cases) {
    SetLastError(0);
    HANDLE handle = CreateFileW(W(directory + c.path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, c.disposition, 0, nullptr);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_EQ(CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(Files, AFileWithANonAsciiNameOpens) {
  std::string name = directory + "/caf\xc3\xa9.ini";
  int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  std::u16string wide = W(directory) + u"/caf\u00e9.ini";
  HANDLE handle = Open(wide, GENERIC_READ);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  unlink(name.c_str());
}

TEST_F(Files, FlushingSomethingThatIsNoFileFails) {
  EXPECT_FALSE(FlushFileBuffers(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(FlushFileBuffers(INVALID_HANDLE_VALUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  WCHAR name[MAX_PATH];
  HANDLE search = FindFirstVolumeW(name, MAX_PATH);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlushFileBuffers(search));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(FindVolumeClose(search));
}

}  // namespace
