#include "support/event_log.h"

#include "service/install.h"
#include "support/event_messages.h"
#include "support/format.h"
#include "support/repeat_filter.h"

namespace {

// Errors come from the flush thread and from the control handler on the main thread.
RepeatFilter loggedErrors;
char filterBusy = 0;

// FNV-1a over the UTF-16 units. A text whose hash is 0, the mark of a free slot (one in
// 2^64), is filtered all the same; its slot may only be the first to give way.
uint64_t HashText(LPCWSTR text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (; *text; ++text) {
    hash ^= static_cast<uint16_t>(*text);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

}  // namespace

DWORD TakeLogTurn(RepeatFilter* filter, LPCWSTR text, DWORD now) {
  uint64_t hash = HashText(text);
  RepeatSlot* match = nullptr;
  RepeatSlot* victim = &filter->slots[0];
  DWORD victimAge = 0;
  for (RepeatSlot& slot : filter->slots) {
    DWORD age = now - slot.loggedTick;
    // Marked once seen, so that a slot left alone for 49.7 days does not look fresh again
    // when the tick count has wrapped.
    if (age >= REPEAT_WINDOW_MILLISECONDS) slot.expired = true;
    if (slot.hash == hash) match = &slot;
    // The slot that gives way: a free one or one whose hour is over, else the oldest.
    if (!slot.hash || slot.expired) age = 0xFFFFFFFFu;
    if (age > victimAge) {
      victim = &slot;
      victimAge = age;
    }
  }
  if (match && !match->expired) {
    ++match->heldBack;
    return 0;
  }
  if (!match) {
    match = victim;
    match->hash = hash;
    match->heldBack = 0;
  }
  DWORD turn = match->heldBack + 1;
  match->heldBack = 0;
  match->loggedTick = now;
  match->expired = false;
  return turn;
}

void WriteServiceEvent(WORD type, DWORD eventId, LPCWSTR first, LPCWSTR second) {
  HANDLE source = RegisterEventSourceW(NULL, ServiceName);
  if (!source) return;
  LPCWSTR strings[2] = {first, second};
  ReportEventW(source, type, 0, eventId, NULL, second ? 2 : 1, 0, strings, NULL);
  DeregisterEventSource(source);
}

void LogServiceError(LPCWSTR text, WORD type) {
  DWORD turn = 1;
  // The other thread is in the table just now: log this one without asking it, rather than
  // wait for a thread that may run at idle priority.
  if (!__atomic_test_and_set(&filterBusy, __ATOMIC_ACQUIRE)) {
    turn = TakeLogTurn(&loggedErrors, text, GetTickCount());
    __atomic_clear(&filterBusy, __ATOMIC_RELEASE);
  }
  if (!turn) return;
  WCHAR count[SHORT_TEXT_CAPACITY];
  WriteServiceEvent(type, turn > 1 ? EVENT_ERROR_REPEATED : EVENT_ERROR, text,
                    turn > 1 ? FormatShortText(count, TEXT("%u"), turn - 1) : NULL);
}
