// The registry (HKEY_LOCAL_MACHINE only) and the event log of the simulated machine.
#include "sim/sim_registry.h"

#include <map>

#include "sim/sim_internal.h"
#include "sim/sim_time.h"

namespace {

struct Key {
  std::u16string path;
  std::map<std::u16string, std::pair<std::u16string, SimRegistryValue>> values;  // by upper name
};

struct OpenKey {
  std::u16string path;
  REGSAM access;
};

struct RegistryState {
  std::map<std::u16string, Key> keys;  // by upper-cased path
  bool denied = false;
  std::vector<SimEventRecord> events;
};

RegistryState* state = nullptr;

void ResetRegistry() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new RegistryState();
}

SimResetRegistration registration(ResetRegistry);

std::u16string Upper(const std::u16string& text) { return SimUpperAscii(text); }

// The key and every parent of it.
Key& CreateKey(const std::u16string& path) {
  for (size_t at = path.find(u'\\'); at != std::u16string::npos; at = path.find(u'\\', at + 1)) {
    std::u16string parent = path.substr(0, at);
    if (!state->keys.count(Upper(parent))) state->keys[Upper(parent)].path = parent;
  }
  Key& key = state->keys[Upper(path)];
  if (key.path.empty()) key.path = path;
  return key;
}

// Registry functions return their error instead of setting it; a fault armed for them is
// taken from the last error that SimFault set.
LONG FaultCode() { return static_cast<LONG>(GetLastError()); }

void CloseKey(void* payload) { delete static_cast<OpenKey*>(payload); }

void CloseSource(void* payload) { delete static_cast<std::u16string*>(payload); }

const DWORD ReportStringLimit = 31839;

}  // namespace

bool SimRegistryKeyExists(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->keys.count(Upper(path)) != 0;
}

SimRegistryValue SimGetRegistryValue(const std::u16string& path, const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto key = state->keys.find(Upper(path));
  if (key == state->keys.end()) return SimRegistryValue();
  auto value = key->second.values.find(Upper(name));
  return value == key->second.values.end() ? SimRegistryValue() : value->second.second;
}

std::vector<SimRegistryEntry> SimRegistryValues() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::vector<SimRegistryEntry> entries;
  for (auto& key : state->keys) {
    for (auto& value : key.second.values) {
      entries.push_back({key.second.path, value.second.first, value.second.second});
    }
  }
  return entries;
}

void SimSetRegistryValue(const std::u16string& path, const std::u16string& name, DWORD type,
                         const std::string& data) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  SimRegistryValue value;
  value.exists = true;
  value.type = type;
  value.data = data;
  CreateKey(path).values[Upper(name)] = {name, value};
}

std::u16string SimRegistryText(const std::u16string& path, const std::u16string& name) {
  SimRegistryValue value = SimGetRegistryValue(path, name);
  std::u16string text(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

void SimSetRegistryDenied(bool denied) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->denied = denied;
}

std::vector<SimEventRecord> SimEventLog() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->events;
}

// ---- advapi32: registry -------------------------------------------------------------------

extern "C" LONG WINAPI RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR,
                                       DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES,
                                       PHKEY result, LPDWORD disposition) {
  if (SimFault("RegCreateKeyExW")) return FaultCode();
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey || !*subKey || reserved || options != REG_OPTION_NON_VOLATILE || !result) {
    return ERROR_INVALID_PARAMETER;
  }
  std::u16string path = SimText(subKey);
  bool existed = state->keys.count(Upper(path)) != 0;
  if (state->denied && (!existed || (access & KEY_SET_VALUE))) return ERROR_ACCESS_DENIED;
  CreateKey(path);
  if (disposition) *disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY, REG_CREATED_NEW_KEY
  std::string description = "registry key " + SimUtf8(path);
  *result = static_cast<HKEY>(SimCreateHandle(SimHandleKind::RegistryKey, new OpenKey{path, access},
                                              CloseKey, true, description.c_str()));
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegSetValueExW(HKEY handle, LPCWSTR name, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD size) {
  if (SimFault("RegSetValueExW")) return FaultCode();
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  OpenKey* key = static_cast<OpenKey*>(SimHandlePayload(handle, SimHandleKind::RegistryKey));
  if (!key) return ERROR_INVALID_HANDLE;
  if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (reserved || (size && !data)) return ERROR_INVALID_PARAMETER;
  // A string value must hold whole UTF-16 units; a DWORD four bytes.
  if (((type == REG_SZ || type == REG_EXPAND_SZ) && size % 2) || (type == REG_DWORD && size != 4)) {
    return ERROR_INVALID_PARAMETER;
  }
  auto found = state->keys.find(Upper(key->path));
  if (found == state->keys.end()) return 1018;  // ERROR_KEY_DELETED
  SimRegistryValue value;
  value.exists = true;
  value.type = type;
  value.data.assign(reinterpret_cast<const char*>(data), size);
  std::u16string valueName = name ? SimText(name) : std::u16string();
  found->second.values[Upper(valueName)] = {valueName, value};
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY handle) {
  if (SimFault("RegCloseKey")) return FaultCode();
  return SimCloseHandleOfKind(handle, SimHandleKind::RegistryKey) ? ERROR_SUCCESS
                                                                  : ERROR_INVALID_HANDLE;
}

// A key with subkeys cannot be deleted this way.
extern "C" LONG WINAPI RegDeleteKeyW(HKEY root, LPCWSTR subKey) {
  if (SimFault("RegDeleteKeyW")) return FaultCode();
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey || !*subKey) return ERROR_INVALID_PARAMETER;
  std::u16string upper = Upper(SimText(subKey));
  auto found = state->keys.find(upper);
  if (found == state->keys.end()) return ERROR_FILE_NOT_FOUND;
  if (state->denied) return ERROR_ACCESS_DENIED;
  auto next = std::next(found);
  if (next != state->keys.end() && next->first.rfind(upper + u"\\", 0) == 0) return ERROR_ACCESS_DENIED;
  state->keys.erase(found);
  return ERROR_SUCCESS;
}

// ---- advapi32: event log ------------------------------------------------------------------

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  if (SimFault("RegisterEventSourceW")) return nullptr;
  if (server || !source || !*source) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string description = "event source " + SimUtf8(SimText(source));
  return SimCreateHandle(SimHandleKind::EventSource, new std::u16string(SimText(source)), CloseSource,
                         true, description.c_str());
}

extern "C" BOOL WINAPI ReportEventW(HANDLE handle, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                                    LPCWSTR* strings, LPVOID) {
  if (SimFault("ReportEventW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::u16string* source = static_cast<std::u16string*>(SimHandlePayload(handle, SimHandleKind::EventSource));
  if (!source) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (count && !strings) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SimEventRecord event;
  event.source = *source;
  event.type = type;
  event.id = id;
  for (WORD i = 0; i < count; ++i) {
    std::u16string text = SimText(strings[i]);
    if (!strings[i] || text.size() > ReportStringLimit) {
      SimSetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    event.strings.push_back(text);
  }
  event.tick = SimTickCount();
  event.thread = SimThreadRole();
  state->events.push_back(event);
  return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE handle) {
  if (SimFault("DeregisterEventSource")) return FALSE;
  if (!SimCloseHandleOfKind(handle, SimHandleKind::EventSource)) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
