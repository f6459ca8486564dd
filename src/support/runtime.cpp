#include "support/runtime.h"

#include "support/error_text.h"
#include "volumes/templates.h"

const RuntimeHookTable RuntimeHooks = {
    DescribeError,
    DescribeErrorInModule,
    ProcessHeapAllocate,
    ProcessHeapFree,
};

OutOfMemoryHandlerFunction OutOfMemoryHandler = nullptr;

// The extended version record, which Windows 5.0 and later accept.
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW");
// A callback entry is a list node: it begins with the two links.
static_assert(offsetof(AtExitEntry, prev) == offsetof(ListNode, prev) &&
                  offsetof(AtExitEntry, next) == offsetof(ListNode, next),
              "AtExitEntry links");

namespace {

bool started = false;
// The Windows version as 0xMMmm, read by the start-up.
DWORD windowsVersion = 0;
bool staticInitialisersRun = false;
LinkedList* atExitList = nullptr;

// The build-time table of static initialisers; an entry may be empty.
const StaticInitialiser StaticInitialiserTable[] = {
    InitGlobalTemplateList,
};

}  // namespace

void* ProcessHeapAllocate(SIZE_T size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void ProcessHeapFree(void* pointer, SIZE_T) { HeapFree(GetProcessHeap(), 0, pointer); }

bool RuntimeStartup(void) {
  if (started) return true;
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  if (!GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version))) return false;
  DWORD versionWord = ((version.dwMajorVersion & 0xFF) << 8) | (version.dwMinorVersion & 0xFF);
  if (versionWord < 0x0500) return false;
  windowsVersion = versionWord;
  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  QueryPerformanceFrequency(&frequency);
  if (frequency.QuadPart == 0) return false;
  LinkedList* list = static_cast<LinkedList*>(AllocateMemory(sizeof(LinkedList)));
  if (!list) return false;
  atExitList = InitList(list);
  started = true;
  return true;
}

void RunStaticInitialisers(void) {
  if (staticInitialisersRun) {
    DebugBreak();  // a second run is a programming error
    return;
  }
  staticInitialisersRun = true;
  for (StaticInitialiser initialiser : StaticInitialiserTable) {
    if (initialiser) initialiser();
  }
}

bool RegisterAtExit(AtExitCallback callback) {
  if (!RuntimeStartup()) {
    DebugBreak();  // registration needs a started runtime
    return false;
  }
  if (!atExitList) return false;  // shut down already: the list is gone
  AtExitEntry* entry = static_cast<AtExitEntry*>(AllocateMemory(sizeof(AtExitEntry)));
  if (!entry) return false;
  InitLinks(reinterpret_cast<ListNode*>(entry));
  entry->callback = callback;
  InsertNodeAfter(atExitList, reinterpret_cast<ListNode*>(entry), nullptr);
  return true;
}

void RuntimeShutdown(void) {
  if (!atExitList) return;
  if (NodeCount(atExitList) != 0) {
    while (ListNode* node = RemoveFirstNode(atExitList)) {
      AtExitEntry* entry = reinterpret_cast<AtExitEntry*>(node);
      entry->callback();
      FreeMemory(entry, sizeof(AtExitEntry));
    }
  }
  FreeMemory(atExitList, sizeof(LinkedList));
  atExitList = nullptr;
}

void* AllocateMemory(SIZE_T size) {
  for (;;) {
    void* memory = RuntimeHooks.allocate(size);
    if (memory) return memory;
    if (!OutOfMemoryHandler) return nullptr;
    if (!OutOfMemoryHandler(size)) return nullptr;
  }
}

void FreeMemory(void* pointer, SIZE_T size) {
  if (pointer) RuntimeHooks.free(pointer, size);
}

bool RuntimeIsStarted(void) { return started; }
DWORD RuntimeWindowsVersion(void) { return windowsVersion; }
const LinkedList* RuntimeAtExitList(void) { return atExitList; }
