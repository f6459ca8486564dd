// The Windows command line of the Linux program, made from its argv.
#pragma once

#include <stddef.h>

#include "platform/win32.h"

// Joins argv into one UTF-16 line, the items separated by one space, written so that the
// program's own reading gives back the same items: the name is skipped by its rule (a quoted
// name ends at the next double quote, any other at the first space), and each argument that
// is empty or holds a space, a tab or a double quote is enclosed in double quotes with every
// double quote inside it doubled. A double quote inside a quoted program name is written as
// U+FFFD, since it would end the name early; the name is only skipped, never used as a path.
// Writes at most `capacity` units (no terminator) when `out` is given; returns the length.
size_t BuildCommandLine(int argc, char* const* argv, WCHAR* out, size_t capacity);

// Builds the line for GetCommandLineW; false when there is no memory for it.
bool LinuxSetCommandLine(int argc, char* const* argv);
