// The simulated machine's core: reset, fault injection, the call log, handles, the heap
// and the process-level functions.
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "platform/common/case_mapping.h"
#include "platform/common/message_table.h"
#include "platform/common/utf8.h"
#include "sim/sim_internal.h"

namespace {

struct Fault {
  std::string function;
  unsigned nth;
  DWORD error;
};

struct CallAction {
  std::string function;
  unsigned nth;
  std::function<void()> action;
};

struct HandleEntry {
  SimHandleKind kind;
  void* payload;
  void (*onClose)(void*);
  bool counted;
  std::string description;
};

// Calls are counted per function name in a small table that is found by the address of the
// name (each simulated function passes its own literal), so that counting needs neither a
// lock nor a string: the fuzz targets make millions of calls.
struct CallCounter {
  std::atomic<const char*> function{nullptr};
  std::atomic<unsigned> count{0};
};
const size_t CounterSlots = 256;
CallCounter counters[CounterSlots];

CallCounter& CounterOf(const char* function) {
  size_t slot = (reinterpret_cast<uintptr_t>(function) >> 3) % CounterSlots;
  for (;;) {
    const char* held = counters[slot].function.load(std::memory_order_acquire);
    if (held == function) return counters[slot];
    if (!held) {
      const char* expected = nullptr;
      if (counters[slot].function.compare_exchange_strong(expected, function) || expected == function) {
        return counters[slot];
      }
    }
    slot = (slot + 1) % CounterSlots;
  }
}

// Whether SimFault has more to do than count: a fault or an action is armed, or the call
// log is kept. Off, a call costs one table look-up and an atomic increment.
std::atomic<bool> slowPath{true};
std::atomic<bool> callLogOn{true};
std::atomic<SimCallHook> callHook{nullptr};

struct Machine {
  std::vector<Fault> faults;
  std::vector<CallAction> actions;
  std::vector<std::string> callLog;
  unsigned failableCalls = 0;  // calls of functions that can fail, for SimFailNthCall
  unsigned nthFailableCall = 0;
  DWORD nthError = 0;
  std::vector<SimFaultHit> hits;
  std::map<uintptr_t, HandleEntry> handles;
  int countedHandles = 0;  // the counted entries of `handles`
  uintptr_t nextHandle = 0x1000;
  std::set<void*> heapBlocks;
  std::u16string commandLine = u"sorvanel.exe";
  std::u16string modulePath = u"C:\\Program Files\\Sorvanel\\sorvanel.exe";
  DWORD major = 6, minor = 1;
  int64_t frequency = 10000000;
  bool debugger = false;
  int breakpoints = 0;
  UINT errorMode = 0;
  void (*exitHook)(UINT) = nullptr;
  std::vector<std::u16string> modules;
  std::map<std::pair<uintptr_t, DWORD>, std::u16string> messages;  // (module, id) -> text
  std::set<std::pair<uintptr_t, DWORD>> removedMessages;
  std::vector<SimFormatMessageCall> formatCalls;
};

Machine* machine = nullptr;
thread_local DWORD lastError = 0;

std::vector<void (*)()>& ResetSteps() {
  static std::vector<void (*)()> steps;
  return steps;
}

Machine& M() {
  if (!machine) machine = new Machine();
  return *machine;
}

const uintptr_t ProcessHeapValue = 0x7EAD;
const uintptr_t CurrentProcessValue = static_cast<uintptr_t>(-1);

}  // namespace

std::recursive_mutex& SimLock() {
  static std::recursive_mutex lock;
  return lock;
}

SimResetRegistration::SimResetRegistration(void (*reset)()) { ResetSteps().push_back(reset); }

void SimReset() {
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    for (void* block : M().heapBlocks) free(block);
    delete machine;
    machine = new Machine();
    lastError = 0;
    for (CallCounter& counter : counters) counter.count.store(0, std::memory_order_relaxed);
    slowPath.store(callLogOn.load());
    callHook.store(nullptr);
  }
  for (void (*step)() : ResetSteps()) step();
}

void SimSetLastError(DWORD error) { lastError = error; }

namespace {

unsigned CountCall(const char* function) {
  return CounterOf(function).count.fetch_add(1, std::memory_order_relaxed) + 1;
}

// Takes the calling stack of a call that is made to fail: the first frames are the fault
// check and the simulated function, the rest the callers that tests map to source lines.
void RecordHit(const char* function, bool nthCall, void* caller) {
  SimFaultHit hit;
  hit.function = function;
  hit.nthCall = nthCall;
  hit.caller = caller;
  void* frames[16];
  int n = backtrace(frames, 16);
  hit.stack.assign(frames, frames + n);
  M().hits.push_back(hit);
}

}  // namespace

namespace {

// What only a scripted test needs of a call: the call log and an action armed for it. Out of
// line, so that a call that is only counted sets up no stack frame for them.
__attribute__((noinline)) void LogAndAct(const char* function, unsigned count) {
  std::function<void()> action;
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    if (callLogOn.load(std::memory_order_relaxed)) M().callLog.push_back(function);
    for (CallAction& a : M().actions) {
      if (a.nth == count && a.function == function) action = a.action;
    }
  }
  if (action) action();
}

__attribute__((noinline)) bool FailsNow(const char* function, unsigned count, void* caller) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  bool nthCall = ++M().failableCalls == M().nthFailableCall;
  bool fail = nthCall;
  DWORD error = M().nthError;
  for (const Fault& f : M().faults) {
    // A sweep's fault on the same call comes first: its error is the one the sweep expects.
    if (f.nth == count && f.function == function && !nthCall) {
      fail = true;
      error = f.error;
    }
  }
  if (!fail) return false;
  RecordHit(function, nthCall, caller);
  lastError = error;
  return true;
}

}  // namespace

bool SimFaultAt(const char* function, void* caller) {
  unsigned count = CountCall(function);
  SimCallHook hook = callHook.load(std::memory_order_relaxed);
  DWORD hookError = hook ? hook(function, true) : 0;
  if (slowPath.load(std::memory_order_relaxed)) {
    LogAndAct(function, count);
    if (FailsNow(function, count, caller)) return true;
  }
  if (!hookError) return false;
  lastError = hookError;
  return true;
}

void SimNoteCall(const char* function) {
  unsigned count = CountCall(function);
  if (SimCallHook hook = callHook.load(std::memory_order_relaxed)) hook(function, false);
  if (slowPath.load(std::memory_order_relaxed)) LogAndAct(function, count);
}

void SimSetCallHook(SimCallHook hook) { callHook.store(hook); }

void SimFailCall(const char* function, unsigned nth, DWORD error) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().faults.push_back({function, nth, error});
  slowPath.store(true);
}

void SimFailNthCall(unsigned nth, DWORD error) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().nthFailableCall = M().failableCalls + nth;
  M().nthError = error;
  slowPath.store(true);
}

std::vector<SimFaultHit> SimFaultHits() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().hits;
}

unsigned SimCallCount(const char* function) {
  unsigned total = 0;
  for (CallCounter& counter : counters) {
    const char* held = counter.function.load(std::memory_order_acquire);
    if (held && strcmp(held, function) == 0) total += counter.count.load(std::memory_order_relaxed);
  }
  return total;
}

std::vector<std::string> SimCallLog() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().callLog;
}

void SimSetCallLog(bool on) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  callLogOn.store(on);
  slowPath.store(on || !M().faults.empty() || !M().actions.empty() || M().nthFailableCall != 0);
}

void SimOnCall(const char* function, unsigned nth, std::function<void()> action) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().actions.push_back({function, nth, std::move(action)});
  slowPath.store(true);
}

// ---- Handles ------------------------------------------------------------------------------

HANDLE SimCreateHandle(SimHandleKind kind, void* payload, void (*onClose)(void*), bool counted,
                       const char* description) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  uintptr_t value = M().nextHandle;
  M().nextHandle += 4;
  M().handles[value] = {kind, payload, onClose, counted, description};
  M().countedHandles += counted ? 1 : 0;
  return reinterpret_cast<HANDLE>(value);
}

void* SimHandlePayload(HANDLE handle, SimHandleKind kind) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == M().handles.end() || it->second.kind != kind) return nullptr;
  return it->second.payload;
}

bool SimHandleIsKind(HANDLE handle, SimHandleKind kind) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it != M().handles.end() && it->second.kind == kind;
}

static bool CloseEntry(uintptr_t value, const SimHandleKind* kind) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto it = M().handles.find(value);
  if (it == M().handles.end()) return false;
  if (kind && it->second.kind != *kind) return false;
  HandleEntry entry = it->second;
  M().handles.erase(it);
  M().countedHandles -= entry.counted ? 1 : 0;
  if (entry.onClose) entry.onClose(entry.payload);
  return true;
}

bool SimCloseHandleOfKind(HANDLE handle, SimHandleKind kind) {
  return CloseEntry(reinterpret_cast<uintptr_t>(handle), &kind);
}

bool SimCloseAnyHandle(HANDLE handle) { return CloseEntry(reinterpret_cast<uintptr_t>(handle), nullptr); }

int SimOpenHandleCount() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().countedHandles;
}

std::string SimDescribeOpenHandles() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  std::string text;
  for (auto& entry : M().handles) {
    if (!entry.second.counted) continue;
    if (!text.empty()) text += ", ";
    text += entry.second.description;
  }
  return text.empty() ? "none" : text;
}

// ---- Heap ---------------------------------------------------------------------------------

int SimLiveHeapBlocks() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return static_cast<int>(M().heapBlocks.size());
}

void SimTrackBlock(void* block) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().heapBlocks.insert(block);
}

bool SimUntrackBlock(void* block) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().heapBlocks.erase(block) != 0;
}

extern "C" HANDLE WINAPI GetProcessHeap(void) {
  if (SimFault("GetProcessHeap")) return nullptr;
  return reinterpret_cast<HANDLE>(ProcessHeapValue);
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (SimFault("HeapAlloc")) return nullptr;
  if (reinterpret_cast<uintptr_t>(heap) != ProcessHeapValue) {
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  void* block = (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().heapBlocks.insert(block);
  return block;
}

extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
  if (SimFault("HeapFree")) return FALSE;
  if (reinterpret_cast<uintptr_t>(heap) != ProcessHeapValue) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!memory) return TRUE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (M().heapBlocks.erase(memory) == 0) {
    fprintf(stderr, "sim: HeapFree of a block that is not live: %p\n", memory);
    abort();
  }
  free(memory);
  return TRUE;
}

// ---- Process ------------------------------------------------------------------------------

void SimSetCommandLine(const std::u16string& commandLine) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().commandLine = commandLine;
}
void SimSetModulePath(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().modulePath = path;
}
void SimSetVersion(DWORD major, DWORD minor) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().major = major;
  M().minor = minor;
}
DWORD SimVersionWord() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return ((M().major & 0xFF) << 8) | (M().minor & 0xFF);
}
void SimSetPerformanceFrequency(int64_t frequency) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().frequency = frequency;
}
void SimSetDebuggerPresent(bool present) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().debugger = present;
}
int SimBreakpointCount() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().breakpoints;
}
void SimSetExitHook(void (*hook)(UINT)) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().exitHook = hook;
}

extern "C" LPWSTR WINAPI GetCommandLineW(void) {
  SimNoteCall("GetCommandLineW");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return reinterpret_cast<LPWSTR>(&M().commandLine[0]);
}

extern "C" void WINAPI ExitProcess(UINT exitCode) {
  SimNoteCall("ExitProcess");
  void (*hook)(UINT) = M().exitHook;
  if (hook) hook(exitCode);
  fflush(nullptr);
  _exit(static_cast<int>(exitCode & 0xFF));
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (SimFault("GetModuleFileNameW")) return 0;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (module != nullptr) {
    lastError = ERROR_MOD_NOT_FOUND;
    return 0;
  }
  const std::u16string& path = M().modulePath;
  if (size == 0) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  // As Windows does: a path that does not fit is cut, terminated, and reported with the
  // buffer size and ERROR_INSUFFICIENT_BUFFER.
  DWORD n = static_cast<DWORD>(path.size());
  if (n >= size) {
    std::copy(path.begin(), path.begin() + (size - 1), fileName);
    fileName[size - 1] = 0;
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  std::copy(path.begin(), path.end(), fileName);
  fileName[n] = 0;
  lastError = 0;
  return n;
}

void SimLoadModule(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  M().modules.push_back(name);
}

HMODULE SimModuleHandle(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  for (size_t i = 0; i < M().modules.size(); ++i) {
    if (SimEqualNoCase(M().modules[i], name)) return reinterpret_cast<HMODULE>(0x10000000 + 0x10000 * i);
  }
  return nullptr;
}

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  if (SimFault("GetModuleHandleW")) return nullptr;
  if (!moduleName) return reinterpret_cast<HMODULE>(0x00400000);
  HMODULE module = SimModuleHandle(SimText(moduleName));
  if (!module) lastError = ERROR_MOD_NOT_FOUND;
  return module;
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
  SimNoteCall("GetCurrentProcess");
  return reinterpret_cast<HANDLE>(CurrentProcessValue);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object) {
  if (SimFault("CloseHandle")) return FALSE;
  if (!SimCloseAnyHandle(object)) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD errorCode) { lastError = errorCode; }

extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  if (SimFault("GetVersionExW")) return FALSE;
  if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW) &&
                info->dwOSVersionInfoSize != 276)) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  info->dwMajorVersion = M().major;
  info->dwMinorVersion = M().minor;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = 2;
  info->szCSDVersion[0] = 0;
  return TRUE;
}

extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (SimFault("QueryPerformanceFrequency")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  frequency->QuadPart = M().frequency;
  if (M().frequency == 0) {
    lastError = ERROR_NOT_SUPPORTED;
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI IsDebuggerPresent(void) {
  SimNoteCall("IsDebuggerPresent");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().debugger ? TRUE : FALSE;
}

UINT SimErrorMode() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().errorMode;
}

extern "C" UINT WINAPI SetErrorMode(UINT mode) {
  SimNoteCall("SetErrorMode");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  UINT previous = M().errorMode;
  M().errorMode = mode;
  return previous;
}

extern "C" void WINAPI DebugBreak(void) {
  SimNoteCall("DebugBreak");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  ++M().breakpoints;
}

// ---- Message texts ------------------------------------------------------------------------

void SimSetMessage(HMODULE module, DWORD id, const std::u16string& text) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  auto key = std::make_pair(reinterpret_cast<uintptr_t>(module), id);
  if (text.empty()) {
    M().messages.erase(key);
    M().removedMessages.insert(key);
  } else {
    M().messages[key] = text;
    M().removedMessages.erase(key);
  }
}

std::vector<SimFormatMessageCall> SimFormatMessageCalls() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return M().formatCalls;
}

extern "C" DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPWSTR buffer, DWORD size, va_list*) {
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    M().formatCalls.push_back({flags, source, messageId, languageId, size});
  }
  if (SimFault("FormatMessageW")) return 0;
  std::u16string text;
  bool found = false;
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    uintptr_t module = (flags & FORMAT_MESSAGE_FROM_HMODULE) ? reinterpret_cast<uintptr_t>(source) : 0;
    bool system = (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0;
    auto lookUp = [&](uintptr_t table) {
      auto key = std::make_pair(table, messageId);
      auto it = M().messages.find(key);
      if (it != M().messages.end()) {
        text = it->second;
        return true;
      }
      if (table == 0 && !M().removedMessages.count(key)) {
        LPCWSTR common = SystemMessageText(messageId);
        if (common) {
          text = SimText(common);
          return true;
        }
      }
      return false;
    };
    if (module) found = lookUp(module);
    if (!found && system) found = lookUp(0);
  }
  if (!found) {
    lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  // The table's texts end with CR LF as the system's do; the width mask drops line breaks
  // inside the text and ends it with a space where the break stood.
  std::u16string shaped;
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
        shaped += u' ';
        ++i;
      } else {
        shaped += text[i];
      }
    }
  } else {
    shaped = text;
  }
  if (shaped.size() + 1 > size) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(shaped.begin(), shaped.end(), buffer);
  buffer[shaped.size()] = 0;
  return static_cast<DWORD>(shaped.size());
}

// ---- Helpers ------------------------------------------------------------------------------

std::u16string SimText(LPCWSTR text) {
  std::u16string s;
  if (!text) return s;
  while (*text) s += static_cast<char16_t>(*text++);
  return s;
}

std::u16string SimUpperAscii(const std::u16string& text) {
  std::u16string upper;
  for (char16_t ch : text) upper += (ch >= u'a' && ch <= u'z') ? static_cast<char16_t>(ch - 32) : ch;
  return upper;
}

bool SimEqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCaseChar(a[i]) != UpperCaseChar(b[i])) return false;
  }
  return true;
}

std::string SimUtf8(const std::u16string& text) {
  const WCHAR* wide = reinterpret_cast<const WCHAR*>(text.data());
  int n = Utf8FromUtf16(wide, static_cast<int>(text.size()), nullptr, 0);
  std::string out(static_cast<size_t>(n), '\0');
  Utf8FromUtf16(wide, static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::u16string SimUtf16(const std::string& text) {
  int n = Utf16FromUtf8(text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  Utf16FromUtf8(text.data(), static_cast<int>(text.size()), reinterpret_cast<WCHAR*>(&out[0]), n);
  return out;
}
