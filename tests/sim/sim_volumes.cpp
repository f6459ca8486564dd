// The volumes of the simulated machine: enumeration, mount paths, drive types, opening a
// volume device and flushing it, with fault injection on every call.
#include "sim/sim_volumes.h"

#include <cstdio>
#include <list>

#include "sim/sim_internal.h"
#include "sim/sim_profile.h"

namespace {

// A volume search: the names as they stood when the search began, and the next one to give.
struct Search {
  std::vector<std::u16string> names;
  size_t next = 0;
};

struct OpenVolume {
  std::u16string name;
  DWORD access;
};

// The payloads of open handles live here, so that a reset frees those of handles that were
// never closed.
struct VolumeState {
  std::vector<SimVolume> volumes;
  std::vector<std::u16string> flushed;
  std::vector<SimVolumeOpen> opens;
  std::list<Search> searches;
  std::list<OpenVolume> openVolumes;
};

VolumeState* state = nullptr;

void ResetVolumes() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new VolumeState();
  state->volumes.push_back(SimMakeVolume(1, {u"C:\\"}));
}

SimResetRegistration registration(ResetVolumes);

VolumeState& S() {
  if (!state) ResetVolumes();
  return *state;
}

template <typename T>
void Forget(std::list<T>& payloads, void* payload) {
  for (auto it = payloads.begin(); it != payloads.end(); ++it) {
    if (&*it == payload) {
      payloads.erase(it);
      return;
    }
  }
}

void CloseSearch(void* payload) { Forget(S().searches, payload); }
void CloseVolume(void* payload) { Forget(S().openVolumes, payload); }

const SimVolume* FindVolume(const std::u16string& name) {
  for (const SimVolume& volume : S().volumes) {
    if (SimEqualNoCase(volume.name, name)) return &volume;
  }
  return nullptr;
}

// Copies a name into the caller's buffer; false (ERROR_FILENAME_EXCED_RANGE) when it does
// not fit.
bool GiveName(const std::u16string& name, LPWSTR buffer, DWORD length) {
  if (name.size() + 1 > length) {
    SimSetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  return true;
}

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && SimEqualNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

std::u16string SimVolumeName(int n) {
  char digits[16];
  snprintf(digits, sizeof digits, "%012d", n);
  return u"\\\\?\\Volume{00000000-0000-0000-0000-" + SimUtf16(digits) + u"}\\";
}

SimVolume SimMakeVolume(int n, std::vector<std::u16string> mountPaths, UINT driveType) {
  SimVolume volume;
  volume.name = SimVolumeName(n);
  volume.mountPaths = std::move(mountPaths);
  volume.driveType = driveType;
  return volume;
}

void SimSetVolumes(const std::vector<SimVolume>& volumes) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  S().volumes = volumes;
}

void SimAddVolume(const SimVolume& volume) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  S().volumes.push_back(volume);
}

std::vector<std::u16string> SimFlushedVolumes() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return S().flushed;
}

int SimFlushCount(const std::u16string& volumeName) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  int count = 0;
  for (const std::u16string& name : S().flushed) count += SimEqualNoCase(name, volumeName) ? 1 : 0;
  return count;
}

std::vector<SimVolumeOpen> SimVolumeOpens() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return S().opens;
}

extern "C" HANDLE WINAPI FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength) {
  if (SimFault("FindFirstVolumeW")) return INVALID_HANDLE_VALUE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (S().volumes.empty()) {
    SimSetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (!GiveName(S().volumes[0].name, volumeName, bufferLength)) return INVALID_HANDLE_VALUE;
  S().searches.emplace_back();
  Search* search = &S().searches.back();
  for (const SimVolume& volume : S().volumes) search->names.push_back(volume.name);
  search->next = 1;
  return SimCreateHandle(SimHandleKind::VolumeSearch, search, CloseSearch, true, "volume search");
}

extern "C" BOOL WINAPI FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength) {
  if (SimFault("FindNextVolumeW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Search* search = static_cast<Search*>(SimHandlePayload(findVolume, SimHandleKind::VolumeSearch));
  if (!search) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (search->next >= search->names.size()) {
    SimSetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!GiveName(search->names[search->next], volumeName, bufferLength)) return FALSE;
  ++search->next;
  return TRUE;
}

extern "C" BOOL WINAPI FindVolumeClose(HANDLE findVolume) {
  if (SimFault("FindVolumeClose")) return FALSE;
  if (!SimCloseHandleOfKind(findVolume, SimHandleKind::VolumeSearch)) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWSTR volumePathNames,
                                                        DWORD bufferLength, LPDWORD returnLength) {
  if (SimFault("GetVolumePathNamesForVolumeNameW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::u16string name = SimText(volumeName);
  if (name.empty() || name.back() != u'\\') {
    SimSetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  const SimVolume* volume = FindVolume(name);
  if (!volume) {
    SimSetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (volume->pathNamesError) {
    SimSetLastError(volume->pathNamesError);
    return FALSE;
  }
  // Each path with its terminator, then the list's own terminator.
  std::u16string list;
  for (const std::u16string& path : volume->mountPaths) {
    list += path;
    list += u'\0';
  }
  list += u'\0';
  DWORD needed = static_cast<DWORD>(list.size());
  if (needed > bufferLength) {
    // As the system does: as much of the list as fits, and the length it would need.
    if (volumePathNames && bufferLength > 0) {
      std::copy(list.begin(), list.begin() + bufferLength, volumePathNames);
    }
    if (returnLength) *returnLength = needed;
    SimSetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::copy(list.begin(), list.end(), volumePathNames);
  if (returnLength) *returnLength = needed;
  return TRUE;
}

extern "C" UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName) {
  if (SimFault("GetDriveTypeW")) return DRIVE_UNKNOWN;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::u16string path = SimText(rootPathName);
  for (const SimVolume& volume : S().volumes) {
    if (SimEqualNoCase(volume.name, path)) return volume.driveType;
    for (const std::u16string& mountPath : volume.mountPaths) {
      if (SimEqualNoCase(mountPath, path)) return volume.driveType;
    }
  }
  return DRIVE_NO_ROOT_DIR;
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES securityAttributes,
                                     DWORD creationDisposition, DWORD flagsAndAttributes,
                                     HANDLE templateFile) {
  if (SimFault("CreateFileW")) return INVALID_HANDLE_VALUE;
  std::u16string name = SimText(fileName);
  if (!StartsWithNoCase(name, u"\\\\?\\Volume{")) {
    return SimOpenPlainFile(fileName, desiredAccess, shareMode, creationDisposition);
  }

  std::lock_guard<std::recursive_mutex> guard(SimLock());
  S().opens.push_back({name, desiredAccess, shareMode, securityAttributes != nullptr,
                       creationDisposition, flagsAndAttributes, templateFile != nullptr});
  // The device is the volume's name without its trailing backslash; with it the name is the
  // root directory, which opens only with backup semantics.
  if (name.back() == u'\\') {
    bool known = FindVolume(name) != nullptr;
    SimSetLastError(known ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const SimVolume* volume = FindVolume(name + u"\\");
  if (!volume) {
    SimSetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition != OPEN_EXISTING) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // The mounted file system holds the volume open for reading and writing; an open that
  // does not share both is refused.
  if ((shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    SimSetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (volume->openError) {
    SimSetLastError(volume->openError);
    return INVALID_HANDLE_VALUE;
  }
  S().openVolumes.push_back({volume->name, desiredAccess});
  OpenVolume* open = &S().openVolumes.back();
  std::string description = "volume " + SimUtf8(volume->name);
  return SimCreateHandle(SimHandleKind::Volume, open, CloseVolume, true, description.c_str());
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file) {
  if (SimFault("FlushFileBuffers")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (SimHandleIsKind(file, SimHandleKind::File)) return TRUE;
  OpenVolume* open = static_cast<OpenVolume*>(SimHandlePayload(file, SimHandleKind::Volume));
  if (!open) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Writing out a volume's buffers needs a handle opened for writing.
  if (!(open->access & GENERIC_WRITE)) {
    SimSetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const SimVolume* volume = FindVolume(open->name);
  if (volume && volume->flushError) {
    SimSetLastError(volume->flushError);
    return FALSE;
  }
  S().flushed.push_back(open->name);
  return TRUE;
}
