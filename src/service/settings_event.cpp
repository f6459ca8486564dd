// The information event that tells an administrator which settings the service runs with
// and where they came from, so that an edit of the settings file can be checked.
#include "service/settings.h"
#include "support/event_log.h"
#include "support/event_messages.h"
#include "support/format.h"
#include "volumes/templates.h"

namespace {

// Room for every template of the longest Volumes value, each quoted, and the other lines.
#define SETTINGS_TEXT_CAPACITY 4096

// Built on the service thread, once per start; kept out of the stack for its size.
WCHAR settingsText[SETTINGS_TEXT_CAPACITY];
DWORD settingsLength;

void Append(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  settingsLength += FormatTextV(settingsText + settingsLength,
                                SETTINGS_TEXT_CAPACITY - settingsLength, format, arguments);
  va_end(arguments);
}

}  // namespace

void ReportSettingsInForce(void) {
  settingsLength = 0;
  DWORD interval = ServiceSettings.intervalSeconds;
  Append(TEXT("Settings in force\r\nInterval: "));
  Append(interval ? TEXT("%u seconds") : TEXT("none, on request only"), interval);
  Append(TEXT("\r\nPriority: %s\r\nVolumes:"), SettingsOrigin.priorityWord);
  ListNode* node = FirstNode(&GlobalTemplateList);
  if (!node) Append(TEXT(" every eligible volume"));
  // Each template in quotes, so that one with a blank reads as one.
  for (; node; node = NextNode(node)) {
    Append(TEXT(" \"%s\""), reinterpret_cast<VolumeTemplate*>(node)->text);
  }
  const SettingsOriginRecord& origin = SettingsOrigin;
  Append(TEXT("\r\nFrom: "));
  if (origin.reason[0]) {
    Append(TEXT("defaults; file rejected: %s"), origin.reason);
  } else if (origin.result == 4) {
    Append(TEXT("defaults; no file %s"), origin.path);
  } else if (origin.result == 0) {
    Append(TEXT("%s"), origin.path);
  } else {
    Append(TEXT("%s (Volumes up to the failed template)"), origin.path);
  }
  WriteServiceEvent(EVENTLOG_INFORMATION_TYPE, EVENT_SETTINGS, settingsText, NULL);
}
