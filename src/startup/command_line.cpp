#include "service/install.h"
#include "startup/help_text.h"
#include "startup/program.h"
#include "support/output.h"
#include "support/text.h"
#include "volumes/flush.h"
#include "volumes/templates.h"

namespace {

struct CommandLineFlags {
  bool verbose;
  bool install;
  bool remove;
  bool notify;
};

bool IsAsciiLetter(WCHAR ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }

void RemoveTrailingBlanks(LPWSTR text) {
  DWORD length = TextLength(text);
  while (length > 0 && IsBlank(text[length - 1], nullptr)) text[--length] = 0;
}

// Reads the options at *position; returns 0, or 2 after showing why an option is wrong.
int ReadOptions(LPCWSTR* position, CommandLineFlags* flags) {
  LPCWSTR text = *position;
  while (text[0] == '-') {
    WCHAR letter = text[1];
    if (!IsAsciiLetter(letter)) {
      ShowError(TEXT("No option after \"-\", use -? for help"));
      return 2;
    }
    switch (letter) {
      case 'v': flags->verbose = true; break;
      case 'i': flags->install = true; break;
      case 'r': flags->remove = true; break;
      case 'f': flags->notify = true; break;
      default:
        ShowError(TEXT("Invalid option \"%c\", use -? for help"), letter);
        return 2;
    }
    text = SkipBlanks(text + 2, nullptr);
  }
  *position = text;
  return 0;
}

int RunAction(const CommandLineFlags& flags) {
  if (flags.install) return InstallService() == 0 ? 0 : 7;
  if (flags.remove) return RemoveService() == 0 ? 0 : 7;
  return NotifyService(flags.verbose);
}

int Interpret(LPCWSTR text, TemplateList* templates) {
  if (CompareNoCase(text, TEXT("-?")) == 0 || CompareNoCase(text, TEXT("-h")) == 0) {
    ShowNote(HelpText);
    return 1;
  }
  CommandLineFlags flags = {false, false, false, false};
  int result = ReadOptions(&text, &flags);
  if (result != 0) return result;
  text = SkipBlanks(text, nullptr);
  if (flags.install || flags.remove || flags.notify) {
    if (*text) {
      ShowError(TEXT("Extra charactes in the command line: \"%s\""), text);
      return 2;
    }
    return RunAction(flags);
  }
  result = ParseTemplates(&text, templates);
  if (result != 0) return result;
  return FlushSelectedVolumes(templates, flags.verbose);
}

}  // namespace

int RunCommandLine(LPCWSTR arguments) {
  TemplateList templates;
  InitList(&templates);
  WCHAR buffer[ARGUMENT_CAPACITY];
  CopyBounded(buffer, ARGUMENT_CAPACITY, arguments, 0);
  RemoveTrailingBlanks(buffer);
  int result = Interpret(SkipBlanks(buffer, nullptr), &templates);
  EmptyTemplateList(&templates);
  return result;
}
