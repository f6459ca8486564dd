// Standard handles, consoles, redirected output, code pages, message boxes and the
// user32 text functions of the simulated machine.
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/common/case_mapping.h"
#include "platform/common/code_page.h"
#include "sim/sim_internal.h"
#include "sim/sim_service.h"
#include "sim/sim_time.h"

namespace {

struct Stream {
  SimStream kind = SimStream::Console;
  HANDLE handle = nullptr;
  std::u16string consoleText;
  std::string bytes;
};

struct ConsoleState {
  Stream streams[3];  // input, output, error
  bool useStartupHandles = false;
  SimStream startupKinds[3] = {SimStream::Console, SimStream::Console, SimStream::Console};
  UINT consoleCodePage = 437;
  UINT ansiCodePage = 1252;
  std::vector<SimMessageBox> boxes;
  DWORD dismissMilliseconds = 0;
  bool turkish = false;
};

void (*sessionZeroBoxHook)(const std::u16string& text) = nullptr;

ConsoleState* state = nullptr;

int StreamIndex(DWORD which) {
  if (which == STD_INPUT_HANDLE) return 0;
  if (which == STD_OUTPUT_HANDLE) return 1;
  if (which == STD_ERROR_HANDLE) return 2;
  return -1;
}

const char* StreamName(int index) {
  static const char* names[3] = {"standard input", "standard output", "standard error"};
  return names[index];
}

// Makes the handle of one stream afresh for its kind.
void MakeStreamHandle(int index) {
  Stream& s = state->streams[index];
  if (s.handle) SimCloseAnyHandle(s.handle);
  s.handle = nullptr;
  if (s.kind == SimStream::Console) {
    s.handle = SimCreateHandle(SimHandleKind::Console, &s, nullptr, false, StreamName(index));
  } else if (s.kind == SimStream::Redirected) {
    s.handle = SimCreateHandle(SimHandleKind::RedirectedFile, &s, nullptr, false, StreamName(index));
  }
}

HANDLE HandleFor(SimStream kind, int index) {
  if (kind == SimStream::None) return nullptr;
  if (kind == SimStream::Invalid) return INVALID_HANDLE_VALUE;
  Stream& s = state->streams[index];
  if (s.kind != kind) {
    s.kind = kind;
    MakeStreamHandle(index);
  }
  return s.handle;
}

void ResetConsole() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  delete state;
  state = new ConsoleState();
  for (int i = 0; i < 3; ++i) MakeStreamHandle(i);
}

SimResetRegistration registration(ResetConsole);

Stream* StreamOf(HANDLE handle) {
  if (!state) return nullptr;
  for (Stream& s : state->streams) {
    if (s.handle && s.handle == handle) return &s;
  }
  return nullptr;
}

}  // namespace

void SimSetStdHandle(DWORD which, SimStream kind) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  int index = StreamIndex(which);
  state->streams[index].kind = kind;
  MakeStreamHandle(index);
}

void SimUseStartupStdHandles(SimStream input, SimStream output, SimStream error) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->useStartupHandles = true;
  state->startupKinds[0] = input;
  state->startupKinds[1] = output;
  state->startupKinds[2] = error;
}

void SimSetConsoleOutputCP(UINT codePage) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->consoleCodePage = codePage;
}

void SimSetAnsiCodePage(UINT codePage) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->ansiCodePage = codePage;
}

UINT SimAnsiCodePage() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->ansiCodePage;
}

std::u16string SimConsoleText(DWORD which) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->streams[StreamIndex(which)].consoleText;
}

std::string SimRedirectedBytes(DWORD which) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->streams[StreamIndex(which)].bytes;
}

std::vector<SimMessageBox> SimMessageBoxes() {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->boxes;
}

extern "C" void WINAPI GetStartupInfoW(LPSTARTUPINFOW info) {
  SimNoteCall("GetStartupInfoW");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  STARTUPINFOW blank = {};
  *info = blank;
  info->cb = sizeof(STARTUPINFOW);
  if (state->useStartupHandles) {
    info->dwFlags = STARTF_USESTDHANDLES;
    info->hStdInput = HandleFor(state->startupKinds[0], 0);
    info->hStdOutput = HandleFor(state->startupKinds[1], 1);
    info->hStdError = HandleFor(state->startupKinds[2], 2);
  }
}

extern "C" HANDLE WINAPI GetStdHandle(DWORD which) {
  if (SimFault("GetStdHandle")) return INVALID_HANDLE_VALUE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  int index = StreamIndex(which);
  if (index < 0) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  Stream& s = state->streams[index];
  if (s.kind == SimStream::Invalid) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return s.handle;
}

extern "C" BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
  if (SimFault("GetConsoleMode")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Stream* s = StreamOf(console);
  if (!s || s->kind != SimStream::Console) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *mode = 3;
  return TRUE;
}

extern "C" BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD count,
                                     LPDWORD written, LPVOID) {
  if (SimFault("WriteConsoleW")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Stream* s = StreamOf(console);
  if (!s || s->kind != SimStream::Console) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char16_t* text = static_cast<const char16_t*>(buffer);
  s->consoleText.append(text, count);
  if (written) *written = count;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                 LPVOID) {
  if (SimFault("WriteFile")) return FALSE;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  Stream* s = StreamOf(file);
  if (!s || s->kind == SimStream::None) {
    SimSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A console handle takes bytes too; the simulation keeps them apart from WriteConsoleW text.
  s->bytes.append(static_cast<const char*>(buffer), count);
  if (written) *written = count;
  return TRUE;
}

extern "C" UINT WINAPI GetConsoleOutputCP(void) {
  SimNoteCall("GetConsoleOutputCP");
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  return state->consoleCodePage;
}

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length,
                                          LPSTR buffer, int size, LPCSTR defaultChar,
                                          LPBOOL usedDefault) {
  if (SimFault("WideCharToMultiByte")) return 0;
  if (!text || flags != 0 || defaultChar || usedDefault || size < 0 || (size > 0 && !buffer)) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT page;
  {
    std::lock_guard<std::recursive_mutex> guard(SimLock());
    page = codePage == CP_ACP ? state->ansiCodePage : codePage == CP_OEMCP ? 437 : codePage;
  }
  if (length < 0) {
    length = 0;
    while (text[length]) ++length;
    ++length;  // the terminator is converted too
  }
  DWORD error = 0;
  int result = WideToCodePage(page, text, length, size == 0 ? nullptr : buffer, size, &error);
  if (result == 0 && error != 0) {
    SimSetLastError(error);
    return 0;
  }
  return result;
}

void SimSetBoxDismissMilliseconds(DWORD milliseconds) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->dismissMilliseconds = milliseconds;
}

void SimSetSessionZeroBoxHook(void (*hook)(const std::u16string& text)) { sessionZeroBoxHook = hook; }

extern "C" int WINAPI MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  if (SimFault("MessageBoxW")) return 0;
  if (SimIsServiceProcess() && SimVersionWord() >= 0x0600) {
    if (sessionZeroBoxHook) sessionZeroBoxHook(SimText(text));
    fprintf(stderr, "MessageBoxW in session 0 never returns: %s\n", SimUtf8(SimText(text)).c_str());
    abort();
  }
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->boxes.push_back({SimText(text), SimText(caption), type});
  // The user reads the box and dismisses it; the calling thread waits meanwhile.
  SimSetTickCount(SimTickCount() + state->dismissMilliseconds);
  // Like many user32 calls, a box that was shown and dismissed leaves its own last error.
  SimSetLastError(NO_ERROR);
  return 1;  // IDOK
}

extern "C" LPWSTR WINAPI CharUpperW(LPWSTR text) {
  SimNoteCall("CharUpperW");
  uintptr_t value = reinterpret_cast<uintptr_t>(text);
  if (value <= 0xFFFF) {
    return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(
        static_cast<uint16_t>(UpperCaseChar(static_cast<WCHAR>(value)))));
  }
  for (LPWSTR p = text; *p; ++p) *p = UpperCaseChar(*p);
  return text;
}

void SimSetTurkishLocale(bool turkish) {
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  state->turkish = turkish;
}

namespace {

// Turkish case: the capital of i is İ (U+0130), and I is the capital of the dotless ı
// (U+0131), so that "HIGH" and "high" are different words.
std::u16string TurkishUpper(LPCWSTR text, int count) {
  std::u16string upper;
  for (int i = 0; count < 0 ? text[i] != 0 : i < count; ++i) {
    char16_t ch = text[i];
    upper += ch == u'i' ? u'\u0130' : ch == u'\u0131' ? u'I' : static_cast<char16_t>(UpperCaseChar(ch));
  }
  return upper;
}

}  // namespace

// The user's and the system's default locale are the machine's (Turkish when set); every
// other locale, the invariant one among them, has the common cases. Windows before XP has
// no invariant locale and refuses it.
extern "C" int WINAPI CompareStringW(DWORD locale, DWORD flags, LPCWSTR a, int countA, LPCWSTR b,
                                     int countB) {
  if (SimFault("CompareStringW")) return 0;
  std::lock_guard<std::recursive_mutex> guard(SimLock());
  if (!a || !b || (locale == LOCALE_INVARIANT && SimVersionWord() < 0x0501)) {
    SimSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
  if (ignoreCase && state->turkish && (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT)) {
    std::u16string x = TurkishUpper(a, countA), y = TurkishUpper(b, countB);
    return CompareTextNoCase(reinterpret_cast<LPCWSTR>(x.c_str()), -1, reinterpret_cast<LPCWSTR>(y.c_str()),
                             -1, false);
  }
  return CompareTextNoCase(a, countA, b, countB, ignoreCase);
}
