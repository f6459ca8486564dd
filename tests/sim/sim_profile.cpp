// Plain files and the private-profile functions of the simulated machine.
#include "sim/sim_profile.h"

#include <map>
#include <vector>

#include "platform/common/profile.h"
#include "sim/sim_internal.h"

namespace {

struct FileEntry {
  std::u16string path;
  std::string bytes;
  bool exists = false;
  DWORD openError = 0;
  bool held = false;  // another process has it open
  DWORD heldAccess = 0, heldShare = 0;
};

const DWORD ShareDelete = 0x00000004;
const DWORD ReadRights = GENERIC_READ | 0x10000000 /* GENERIC_ALL */ | 0x0001 /* FILE_READ_DATA */;
const DWORD WriteRights =
    GENERIC_WRITE | 0x10000000 /* GENERIC_ALL */ | 0x0002 /* FILE_WRITE_DATA */ | 0x0004 /* FILE_APPEND_DATA */;
const DWORD DeleteRight = 0x00010000;

// Whether an open with `access` and `share` agrees with the open that holds the file: each
// must share what the other reads, writes or deletes.
bool SharingAgrees(const FileEntry& entry, DWORD access, DWORD share) {
  if (!entry.held) return true;
  auto conflicts = [](DWORD rights, DWORD otherShare) {
    return ((rights & ReadRights) && !(otherShare & FILE_SHARE_READ)) ||
           ((rights & WriteRights) && !(otherShare & FILE_SHARE_WRITE)) ||
           ((rights & DeleteRight) && !(otherShare & ShareDelete));
  };
  return !conflicts(access, entry.heldShare) && !conflicts(entry.heldAccess, share);
}

std::vector<FileEntry>* files = nullptr;

void ResetFiles() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete files;
  files = new std::vector<FileEntry>();
}

SimResetRegistration registration(ResetFiles);

FileEntry* Find(const std::u16string& path) {
  for (FileEntry& entry : *files) {
    if (SimEqualNoCase(entry.path, path)) return &entry;
  }
  return nullptr;
}

FileEntry& FindOrAdd(const std::u16string& path) {
  FileEntry* entry = Find(path);
  if (entry) return *entry;
  files->push_back(FileEntry());
  files->back().path = path;
  return files->back();
}

// The decoded text of a readable file; false when the file is missing or cannot be opened
// (the last error then says why).
bool ReadText(LPCWSTR path, std::u16string* text) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  FileEntry* entry = path ? Find(SimText(path)) : nullptr;
  if (!entry || (!entry->exists && !entry->openError)) {
    SimSetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (entry->openError) {
    SimSetLastError(entry->openError);
    return false;
  }
  // The profile functions open the file for reading and share everything.
  if (!SharingAgrees(*entry, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | ShareDelete)) {
    SimSetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  // The whole file, decoded in the machine's ANSI code page when it has no byte-order mark.
  DWORD count = static_cast<DWORD>(entry->bytes.size());
  text->assign(count, u'\0');
  DWORD n = ProfileDecode(reinterpret_cast<const unsigned char*>(entry->bytes.data()), count,
                          SimAnsiCodePage(), reinterpret_cast<WCHAR*>(&(*text)[0]), count);
  text->resize(n);
  return true;
}

}  // namespace

void SimSetFile(const std::u16string& path, const std::string& bytes) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  FileEntry& entry = FindOrAdd(path);
  entry.bytes = bytes;
  entry.exists = true;
}

void SimRemoveFile(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  FileEntry* entry = Find(path);
  if (entry) entry->exists = false;
}

void SimSetFileOpenError(const std::u16string& path, DWORD error) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  FindOrAdd(path).openError = error;
}

void SimHoldFileOpen(const std::u16string& path, DWORD access, DWORD share) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  FileEntry& entry = FindOrAdd(path);
  entry.held = true;
  entry.heldAccess = access;
  entry.heldShare = share;
}

HANDLE SimOpenPlainFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (disposition != OPEN_EXISTING) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  FileEntry* entry = path ? Find(SimText(path)) : nullptr;
  if (entry && entry->openError) {
    SimSetLastError(entry->openError);
    return INVALID_HANDLE_VALUE;
  }
  if (!entry || !entry->exists) {
    SimSetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!SharingAgrees(*entry, access, share)) {
    SimSetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  std::string description = "file " + SimUtf8(entry->path);
  return SimCreateHandle(SimHandleKind::File, nullptr, nullptr, true, description.c_str());
}

// A file that cannot be read gives the default, as a missing one does; a failed call
// behaves the same way.
extern "C" DWORD WINAPI GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName,
                                                 LPCWSTR defaultText, LPWSTR returned,
                                                 DWORD size, LPCWSTR fileName) {
  bool failed = SimFault("GetPrivateProfileStringW");
  DWORD error = GetLastError();
  std::u16string text;
  bool readable = !failed && ReadText(fileName, &text);
  DWORD n = ProfileReadString(readable ? reinterpret_cast<const WCHAR*>(text.data()) : nullptr,
                              static_cast<DWORD>(text.size()), appName, keyName, defaultText,
                              returned, size);
  SimSetLastError(failed ? error : (readable ? 0 : GetLastError()));
  return n;
}

extern "C" UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, int defaultValue,
                                             LPCWSTR fileName) {
  if (SimFault("GetPrivateProfileIntW")) return static_cast<UINT>(defaultValue);
  std::u16string text;
  bool readable = ReadText(fileName, &text);
  return ProfileReadInt(readable ? reinterpret_cast<const WCHAR*>(text.data()) : nullptr,
                        static_cast<DWORD>(text.size()), appName, keyName, defaultValue);
}
