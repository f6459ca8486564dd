// The service's events in the Application event log, under the service's own name as their
// source. The messages are in the executable's message table (event_messages.h).
#pragma once

#include "platform/win32.h"

// Writes one event with one or two inserted strings (`second` may be null). Takes no heap
// memory, waits for nothing of ours, and a failure is silent.
void WriteServiceEvent(WORD type, DWORD eventId, LPCWSTR first, LPCWSTR second);
// Logs an error text unless the same text was logged within the last hour; the event that
// logs it again says how many repeats were held back meanwhile.
// A warning goes through the same rule.
void LogServiceError(LPCWSTR text, WORD type = EVENTLOG_ERROR_TYPE);
