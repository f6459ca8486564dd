#include "platform/linux/command_line.h"

#include <stdlib.h>
#include <string.h>

#include "platform/common/utf8.h"

namespace {

struct LineWriter {
  WCHAR* out;
  size_t capacity;
  size_t length;
};

void PutUnit(LineWriter* writer, WCHAR unit) {
  if (writer->out && writer->length < writer->capacity) writer->out[writer->length] = unit;
  ++writer->length;
}

// UTF-8 bytes as UTF-16; a run that would not fit whole is measured but not written.
void PutUtf8(LineWriter* writer, const char* text, size_t bytes) {
  if (bytes == 0) return;
  int needed = Utf16FromUtf8(text, static_cast<int>(bytes), nullptr, 0);
  if (writer->out && writer->length + static_cast<size_t>(needed) <= writer->capacity) {
    Utf16FromUtf8(text, static_cast<int>(bytes), writer->out + writer->length, needed);
  }
  writer->length += static_cast<size_t>(needed);
}

bool HasBlank(const char* text) { return strchr(text, ' ') || strchr(text, '\t'); }

void PutProgramName(LineWriter* writer, const char* name) {
  bool quoted = name[0] == 0 || name[0] == '"' || HasBlank(name);
  if (!quoted) {
    PutUtf8(writer, name, strlen(name));
    return;
  }
  PutUnit(writer, u'"');
  for (const char* segment = name;;) {
    const char* quote = strchr(segment, '"');
    size_t bytes = quote ? static_cast<size_t>(quote - segment) : strlen(segment);
    PutUtf8(writer, segment, bytes);
    if (!quote) break;
    PutUnit(writer, 0xFFFD);
    segment = quote + 1;
  }
  PutUnit(writer, u'"');
}

void PutArgument(LineWriter* writer, const char* argument) {
  bool quoted = argument[0] == 0 || HasBlank(argument) || strchr(argument, '"');
  if (!quoted) {
    PutUtf8(writer, argument, strlen(argument));
    return;
  }
  PutUnit(writer, u'"');
  for (const char* segment = argument;;) {
    const char* quote = strchr(segment, '"');
    size_t bytes = quote ? static_cast<size_t>(quote - segment) : strlen(segment);
    PutUtf8(writer, segment, bytes);
    if (!quote) break;
    PutUnit(writer, u'"');
    PutUnit(writer, u'"');
    segment = quote + 1;
  }
  PutUnit(writer, u'"');
}

WCHAR emptyLine[1] = {0};
WCHAR* commandLine = emptyLine;

}  // namespace

size_t BuildCommandLine(int argc, char* const* argv, WCHAR* out, size_t capacity) {
  LineWriter writer = {out, capacity, 0};
  PutProgramName(&writer, argc > 0 && argv[0] ? argv[0] : "");
  for (int i = 1; i < argc; ++i) {
    PutUnit(&writer, u' ');
    PutArgument(&writer, argv[i]);
  }
  return writer.length;
}

bool LinuxSetCommandLine(int argc, char* const* argv) {
  size_t length = BuildCommandLine(argc, argv, nullptr, 0);
  WCHAR* line = static_cast<WCHAR*>(malloc((length + 1) * sizeof(WCHAR)));
  if (!line) return false;
  BuildCommandLine(argc, argv, line, length);
  line[length] = 0;
  if (commandLine != emptyLine) free(commandLine);
  commandLine = line;
  return true;
}

extern "C" LPWSTR WINAPI GetCommandLineW(void) { return commandLine; }
