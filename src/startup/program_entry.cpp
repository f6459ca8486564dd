#include "startup/program.h"

namespace {

const WCHAR NoArguments[] = TEXT("");

}  // namespace

// The program name ends at the closing double quote when it starts with one, otherwise at
// the first space (a tab does not end it). At most 1024 characters are searched; a name
// without an end there is taken to be the whole line.
LPCWSTR SkipProgramName(LPCWSTR commandLine) {
  WCHAR end = ' ';
  DWORD i = 0;
  if (commandLine[0] == '"') {
    end = '"';
    i = 1;
  }
  for (; i < NAME_SEARCH_LIMIT; ++i) {
    if (commandLine[i] == 0) return NoArguments;
    if (commandLine[i] == end) break;
  }
  if (i >= NAME_SEARCH_LIMIT) return NoArguments;
  LPCWSTR rest = commandLine + i + 1;
  while (*rest == ' ' || *rest == '\t') ++rest;
  return rest;
}

extern "C" void ProgramEntry(void) {
  LPCWSTR arguments = SkipProgramName(GetCommandLineW());
  ExitProcess(static_cast<UINT>(ProgramMain(arguments)));
}
