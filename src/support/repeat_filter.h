// Keeps an error that comes back on every flush pass from filling the event log: a text that
// was logged within the last hour is held back, and counted, until the hour is over.
#pragma once

#include "platform/win32.h"

#define REPEAT_SLOTS 16
#define REPEAT_WINDOW_MILLISECONDS (60u * 60u * 1000u)

struct RepeatSlot {
  uint64_t hash;     // of the text's UTF-16 units (64 bits: two texts never meet); 0: free
  DWORD loggedTick;  // GetTickCount when the text was last logged
  DWORD heldBack;    // repeats since then that were not logged
  bool expired;      // the hour has been seen to be over (the tick count may wrap later)
};

// A fixed table: the texts logged most recently. When every slot is taken, the text logged
// longest ago gives way, with whatever it had held back.
struct RepeatFilter {
  RepeatSlot slots[REPEAT_SLOTS];
};

// Whether `text` is to be logged at tick `now`: 0 when it is held back, else 1 + the number
// of repeats held back since it was last logged (1 for a new text).
DWORD TakeLogTurn(RepeatFilter* filter, LPCWSTR text, DWORD now);
