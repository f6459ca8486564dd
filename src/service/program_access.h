// Who besides an administrator could replace the service's program. The service runs the
// executable as LocalSystem, so whoever may write it, add files to its folder, or change
// either one's permissions may run code of their own as LocalSystem at the next start.
#pragma once

#include "platform/win32.h"

// Room for "<group> may <right> <path>" with the longest path, and the advice.
#define FINDING_CAPACITY (MAX_PATH + 160)

// Reads the owner and DACL of the executable (ModulePath) and of its folder, and tells
// whether only administrators and the like can replace it. When a broad group can, the
// finding names the group, what it may do and to which file or folder, as "Users may add
// files to C:\Tools\", and where to install from instead: -i shows it as the error that
// refuses the installation (`installing`), the service logs it as a warning. A descriptor
// that cannot be read is shown as a failed call; the result is false then too.
bool ProgramIsGuarded(bool installing);
