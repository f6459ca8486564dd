// The settings file: the executable's path with ".ini" for ".exe", section "Main".
#include "service/settings.h"

#include "support/last_error_text.h"
#include "startup/program.h"
#include "support/format.h"
#include "support/output.h"
#include "support/text.h"
#include "volumes/templates.h"

// Zero until LoadSettings puts the defaults in (so the image carries no initialised data).
ServiceSettingsRecord ServiceSettings;
SettingsOriginRecord SettingsOrigin;

namespace {

const WCHAR SectionName[] = TEXT("Main");
const WCHAR Signature[] = TEXT("Sorvanel");

#define PRIORITY_CAPACITY 10
#define VOLUMES_CAPACITY 2048
#define DEFAULT_INTERVAL 30
#define SHORTEST_INTERVAL 5
#define LONGEST_INTERVAL 1000

struct PriorityWord {
  LPCWSTR word;
  LONG priority;
};

const PriorityWord PriorityWords[] = {
    {TEXT("idle"), THREAD_PRIORITY_IDLE},      {TEXT("lowest"), THREAD_PRIORITY_LOWEST},
    {TEXT("low"), THREAD_PRIORITY_BELOW_NORMAL}, {TEXT("normal"), THREAD_PRIORITY_NORMAL},
    {TEXT("high"), THREAD_PRIORITY_ABOVE_NORMAL}, {TEXT("highest"), THREAD_PRIORITY_HIGHEST},
};

// Shows why the file is not used, and keeps that text for the settings event.
void RejectSettings(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(SettingsOrigin.reason, SETTINGS_REASON_CAPACITY, format, arguments);
  va_end(arguments);
  ShowError(TEXT("%s"), SettingsOrigin.reason);
}

// Builds the settings path from the stored executable path; false when that path does not
// end in ".exe".
bool BuildSettingsPath(LPWSTR path) {
  DWORD n = TextLength(ModulePath);
  if (n < 5 || CompareNoCase(ModulePath + n - 4, TEXT(".exe")) != 0) {
    RejectSettings(TEXT("Invalid module path: %s"), ModulePath);
    return false;
  }
  CopyBounded(path, PATH_CAPACITY, ModulePath, n - 4);
  CopyBounded(path + n - 4, PATH_CAPACITY - (n - 4), TEXT(".ini"), 0);
  return true;
}

// The open only tests that the file is there and readable.
bool SettingsFileOpens(LPCWSTR path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      WCHAR error[ERROR_TEXT_CAPACITY];
      RejectSettings(TEXT("Cannot open \"%s\" (%s)"), path, LastErrorText(error));
    }
    return false;
  }
  CloseHandle(file);
  return true;
}

bool SignatureMatches(LPCWSTR path) {
  WCHAR signature[SIGNATURE_CAPACITY];
  if (GetPrivateProfileStringW(SectionName, TEXT("Signature"), TEXT(""), signature,
                               SIGNATURE_CAPACITY, path) == 0) {
    RejectSettings(TEXT("No signature in \"%s\""), path);
    return false;
  }
  if (CompareNoCase(signature, Signature) != 0) {
    RejectSettings(TEXT("Invalid signature \"%s\""), signature);
    return false;
  }
  return true;
}

void ReadInterval(LPCWSTR path) {
  UINT interval = GetPrivateProfileIntW(SectionName, TEXT("Interval"), DEFAULT_INTERVAL, path);
  if ((interval >= 1 && interval < SHORTEST_INTERVAL) || interval > LONGEST_INTERVAL) {
    ShowError(TEXT("Flush interval must be within %u..%u. Defaulting to %u"),
              static_cast<DWORD>(SHORTEST_INTERVAL), static_cast<DWORD>(LONGEST_INTERVAL),
              ServiceSettings.intervalSeconds);
    return;
  }
  ServiceSettings.intervalSeconds = interval;
}

void ReadPriority(LPCWSTR path) {
  WCHAR priority[PRIORITY_CAPACITY];
  if (GetPrivateProfileStringW(SectionName, TEXT("Priority"), TEXT(""), priority,
                               PRIORITY_CAPACITY, path) == 0) {
    return;
  }
  for (const PriorityWord& entry : PriorityWords) {
    if (CompareNoCase(priority, entry.word) == 0) {
      ServiceSettings.threadPriority = entry.priority;
      SettingsOrigin.priorityWord = entry.word;
      return;
    }
  }
  ShowError(TEXT("Invalid thread priority \"%s\""), priority);
}

// Reads the file into ServiceSettings and the global list; the path goes to SettingsOrigin.
int ReadSettings(void) {
  ServiceSettings.intervalSeconds = DEFAULT_INTERVAL;
  ServiceSettings.threadPriority = THREAD_PRIORITY_NORMAL;
  SettingsOrigin.priorityWord = TEXT("normal");
  LPWSTR path = SettingsOrigin.path;
  if (!BuildSettingsPath(path)) return 7;
  if (!SettingsFileOpens(path)) return 4;
  if (!SignatureMatches(path)) return 5;
  ReadInterval(path);
  ReadPriority(path);
  WCHAR volumes[VOLUMES_CAPACITY];
  if (GetPrivateProfileStringW(SectionName, TEXT("Volumes"), TEXT(""), volumes, VOLUMES_CAPACITY,
                               path) == 0) {
    return 0;
  }
  LPCWSTR position = volumes;
  return ParseTemplates(&position, &GlobalTemplateList);
}

}  // namespace

int LoadSettings(void) {
  SettingsOrigin.result = ReadSettings();
  return SettingsOrigin.result;
}
