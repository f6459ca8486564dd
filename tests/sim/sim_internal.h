// What the parts of the simulation share: the lock, the fault check and the handle table.
#pragma once

#include <mutex>
#include <string>

#include "sim/sim.h"

// One lock for the whole machine; the service thread and the main thread both call in.
std::recursive_mutex& SimLock();

// Counts the call, runs a SimOnCall action, and returns true (with the last error set)
// when this call is to fail. Every simulated function that can fail starts with SimFault,
// which passes the return address into its caller: the call site that a fault hits.
bool SimFaultAt(const char* function, void* caller);
#define SimFault(function) SimFaultAt(function, __builtin_return_address(0))
// The same for a function that cannot fail: counted, logged and a place for actions.
void SimNoteCall(const char* function);

void SimSetLastError(DWORD error);

// The Windows version of the machine as 0xMMmm.
DWORD SimVersionWord();

// The code page that CP_ACP stands for (SimSetAnsiCodePage).
UINT SimAnsiCodePage();

enum class SimHandleKind {
  Console,
  RedirectedFile,
  File,
  Token,
  Event,
  VolumeSearch,
  Volume,
  ServiceManager,
  Service,
  Thread,
  ServiceStatus,
  RegistryKey,
  EventSource,
  Policy,
};

// Memory that a simulated function hands out for the program to give back (LsaFreeMemory, say)
// counts among the live heap blocks until it is given back.
void SimTrackBlock(void* block);
bool SimUntrackBlock(void* block);

// Creates a handle of a kind with an owner-defined payload. `onClose` runs (under the lock)
// when the handle is closed. `counted` handles take part in SimOpenHandleCount.
HANDLE SimCreateHandle(SimHandleKind kind, void* payload, void (*onClose)(void*), bool counted,
                       const char* description);
// The payload of a live handle of that kind, or null (the caller then fails with
// ERROR_INVALID_HANDLE).
void* SimHandlePayload(HANDLE handle, SimHandleKind kind);
bool SimHandleIsKind(HANDLE handle, SimHandleKind kind);
// Closes a handle of any of the given kinds; false when it is not a live handle.
bool SimCloseHandleOfKind(HANDLE handle, SimHandleKind kind);
bool SimCloseAnyHandle(HANDLE handle);

// Wide-string helpers.
std::u16string SimText(LPCWSTR text);
bool SimEqualNoCase(const std::u16string& a, const std::u16string& b);
// The text with a-z upper-cased: a key for names that Windows compares without case.
std::u16string SimUpperAscii(const std::u16string& text);
