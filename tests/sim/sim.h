// The simulated Windows: a small model of one machine that the tests script and inspect.
// SimReset() gives a fresh machine; every Win32 function of the boundary is implemented
// over this model, can be made to fail on its k-th call, and keeps count of what it holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

// ---- The machine --------------------------------------------------------------------------

// A fresh machine: no faults, no open handles or heap blocks, console on all three standard
// handles (code page 437), Windows 6.1, a counter frequency of 10 MHz, no debugger, an
// interactive token, module path C:\Program Files\Sorvanel\sorvanel.exe, and whatever the
// concern-specific parts (volumes, services, settings files) define as their defaults.
void SimReset();

// Registers a reset step of a concern-specific part; called at static-initialisation time
// by the part's source file, run by SimReset in registration order.
struct SimResetRegistration {
  explicit SimResetRegistration(void (*reset)());
};

// ---- Fault injection and the call log ------------------------------------------------------

// The nth call (1-based, counted from the last reset) of `function` fails with `error`:
// the function returns its documented failure value and sets the last error. Several
// faults may be armed at once.
void SimFailCall(const char* function, unsigned nth, DWORD error);
// The nth call, counted from now, of any function that can fail fails with `error`: a
// whole-program sweep arms 1, 2, ... until a run makes no such call.
void SimFailNthCall(unsigned nth, DWORD error);
// Every call that an armed fault made fail, in order: the function, the return address into
// its caller and the calling stack (innermost first), for mapping to source lines.
struct SimFaultHit {
  std::string function;
  bool nthCall = false;  // armed by SimFailNthCall, not by SimFailCall
  void* caller = nullptr;
  std::vector<void*> stack;
};
std::vector<SimFaultHit> SimFaultHits();
// How often `function` was called since the last reset.
unsigned SimCallCount(const char* function);
// Every call of a simulated function since the last reset, in order, by name.
std::vector<std::string> SimCallLog();
// Whether the call log is kept (on at start; the setting outlasts SimReset). Fuzz targets
// turn it off: with the log off and nothing armed, a simulated call only counts itself.
void SimSetCallLog(bool on);
// A callback run at the start of the nth call of `function` (before its fault check), on the
// calling thread and without the simulation's lock. Tests use it to place an event inside a
// chosen moment: a control during the third Sleep, say.
void SimOnCall(const char* function, unsigned nth, std::function<void()> action);
// A function run at the start of every simulated call, on the calling thread and without the
// simulation's lock, with the function's name and whether the call can fail; for a call that
// can fail, a non-zero result makes it fail with that error (not kept among SimFaultHits).
// Soaks use it to move time, deliver requests and fail calls at random over millions of
// calls, where SimOnCall and the call log would cost too much. SimReset removes it.
typedef DWORD (*SimCallHook)(const char* function, bool canFail);
void SimSetCallHook(SimCallHook hook);

// ---- Accounting ---------------------------------------------------------------------------

// Handles the program opened and has not closed (standard handles and pseudo handles do not
// count). Includes service-manager handles, volume searches, tokens, events and files.
int SimOpenHandleCount();
// A description of every open handle, for failure messages.
std::string SimDescribeOpenHandles();
// Heap blocks allocated with HeapAlloc and not yet freed; SIDs from AllocateAndInitializeSid
// that were not freed with FreeSid count here too.
int SimLiveHeapBlocks();
int SimLiveSids();

// ---- Process ------------------------------------------------------------------------------

void SimSetCommandLine(const std::u16string& commandLine);
void SimSetModulePath(const std::u16string& path);
void SimSetVersion(DWORD major, DWORD minor);
void SimSetPerformanceFrequency(int64_t frequency);
void SimSetDebuggerPresent(bool present);
// The process's error mode as SetErrorMode last set it (0 after a reset).
UINT SimErrorMode();
// Breakpoint traps executed (DebugBreak); execution continues after each, as under a
// debugger that lets the program go on.
int SimBreakpointCount();
// Called by ExitProcess with the exit code; ExitProcess ends the process with _exit after it.
void SimSetExitHook(void (*hook)(UINT exitCode));
// Modules loaded in the process by name (GetModuleHandleW finds them), case ignored.
void SimLoadModule(const std::u16string& name);
// A message text for FormatMessageW: from the system's table (module null) or from a
// loaded module's table. An empty text removes the entry. The system's table starts as
// the common table of the platform layer.
void SimSetMessage(HMODULE module, DWORD id, const std::u16string& text);
HMODULE SimModuleHandle(const std::u16string& name);
// Arguments of every FormatMessageW call, for the tests of the error texts.
struct SimFormatMessageCall {
  DWORD flags;
  const void* source;
  DWORD id;
  DWORD language;
  DWORD size;
};
std::vector<SimFormatMessageCall> SimFormatMessageCalls();

// ---- Standard handles, consoles, message boxes ---------------------------------------------

enum class SimStream { Console, Redirected, None, Invalid };
// How GetStdHandle answers for STD_INPUT_HANDLE, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE:
// a console, a file or pipe, null (no handle) or INVALID_HANDLE_VALUE.
void SimSetStdHandle(DWORD which, SimStream kind);
// Start-up information with STARTF_USESTDHANDLES and the three handles given by kind
// (Invalid becomes INVALID_HANDLE_VALUE in the record).
void SimUseStartupStdHandles(SimStream input, SimStream output, SimStream error);
void SimSetConsoleOutputCP(UINT codePage);
// The ANSI code page (1252 unless set), used when a conversion is asked for code page 0 and
// for settings files without a byte-order mark.
void SimSetAnsiCodePage(UINT codePage);
// What reached a standard stream: UTF-16 text through WriteConsoleW, bytes through WriteFile.
std::u16string SimConsoleText(DWORD which);
std::string SimRedirectedBytes(DWORD which);
struct SimMessageBox {
  std::u16string text;
  std::u16string caption;
  UINT type;
};
std::vector<SimMessageBox> SimMessageBoxes();
// How long the user takes to dismiss a box: MessageBoxW moves the tick count on by that much
// before it returns (0 after a reset).
void SimSetBoxDismissMilliseconds(DWORD milliseconds);
// From Windows 6.0 on, a box that a service process shows lands in session 0, where nobody
// can dismiss it: the call never returns. The simulation calls this hook instead, with the
// box's text (a test run reports its failure from there); without a hook it aborts.
void SimSetSessionZeroBoxHook(void (*hook)(const std::u16string& text));

// The machine's user and system locale is Turkish (off after a reset): CompareStringW with
// LOCALE_USER_DEFAULT or LOCALE_SYSTEM_DEFAULT and NORM_IGNORECASE then takes İ for the
// capital of i and I for that of ı. Other locales, the invariant one too, keep the common
// cases; before Windows 5.1 the invariant locale is refused with ERROR_INVALID_PARAMETER.
void SimSetTurkishLocale(bool turkish);

// ---- Token ----------------------------------------------------------------------------------

// Whether the process token holds the INTERACTIVE group (S-1-5-4). The token always holds
// a few other groups before it.
void SimSetInteractive(bool interactive);
// The size query of the token's groups (no buffer) succeeds, as a faulty system could let it,
// instead of failing with ERROR_INSUFFICIENT_BUFFER.
void SimSetTokenSizeQuerySucceeds(bool succeeds);

// ---- Helpers for tests -----------------------------------------------------------------------

std::string SimUtf8(const std::u16string& text);
std::u16string SimUtf16(const std::string& text);
