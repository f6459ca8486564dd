// The help text, shown as one note for -?, -h and -H.
#pragma once

#include "platform/win32.h"

extern const WCHAR HelpText[];
