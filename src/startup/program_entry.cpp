#include "startup/program.h"

namespace {

const WCHAR NoArguments[] = TEXT("");

}  // namespace

// The program name ends at the closing double quote when it starts with one, otherwise at
// the first space (a tab does not end it). The search for that end looks at 1024 characters
// at most (after the opening quote, if any); a name without an end there is taken to be
// the whole line.
LPCWSTR SkipProgramName(LPCWSTR commandLine) {
  WCHAR end = ' ';
  LPCWSTR search = commandLine;
  if (*search == '"') {
    end = '"';
    ++search;
  }
  DWORD i = 0;
  for (; i < NAME_SEARCH_LIMIT; ++i) {
    if (search[i] == 0) return NoArguments;
    if (search[i] == end) break;
  }
  if (i >= NAME_SEARCH_LIMIT) return NoArguments;
  LPCWSTR rest = search + i + 1;
  while (*rest == ' ' || *rest == '\t') ++rest;
  return rest;
}

extern "C" void ProgramEntry(void) {
  LPCWSTR arguments = SkipProgramName(GetCommandLineW());
  ExitProcess(static_cast<UINT>(ProgramMain(arguments)));
}
