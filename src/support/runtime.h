// What a language runtime would otherwise supply: one-time start-up, the static
// initialisers, end-of-process callbacks and the allocation pair behind replaceable hooks.
#pragma once

#include "platform/win32.h"
#include "support/linked_list.h"

typedef void (*AtExitCallback)(void);
typedef void (*StaticInitialiser)(void);
typedef int (*OutOfMemoryHandlerFunction)(SIZE_T size);

struct AtExitEntry {
  ListNode* prev;
  ListNode* next;
  AtExitCallback callback;
};

struct RuntimeHookTable {
  DWORD (*describeError)(LPWSTR buffer, DWORD capacity, DWORD code);
  DWORD (*describeErrorInModule)(LPWSTR buffer, DWORD capacity, DWORD code, HMODULE module);
  void* (*allocate)(SIZE_T size);
  void (*free)(void* pointer, SIZE_T size);
};

extern const RuntimeHookTable RuntimeHooks;
extern OutOfMemoryHandlerFunction OutOfMemoryHandler;

bool RuntimeStartup(void);
void RunStaticInitialisers(void);
bool RegisterAtExit(AtExitCallback callback);
void RuntimeShutdown(void);
void* AllocateMemory(SIZE_T size);
void FreeMemory(void* pointer, SIZE_T size);

// The heap operations that the hooks table holds.
void* ProcessHeapAllocate(SIZE_T size);
void ProcessHeapFree(void* pointer, SIZE_T size);

// Read-only views of the runtime state, for the tests and the start-up code.
bool RuntimeIsStarted(void);
// The Windows version found at start-up as 0xMMmm (0x0A00 for 10.0); 0 before it.
DWORD RuntimeWindowsVersion(void);
const LinkedList* RuntimeAtExitList(void);
