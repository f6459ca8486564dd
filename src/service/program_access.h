// Who besides an administrator could replace the service's program. The service manager starts
// the registered path as LocalSystem, so whoever may change the file, add a file beside it,
// rename or re-permission a folder on its path, point a link on it elsewhere, or put another
// medium or server behind its drive, may run code of their own as LocalSystem at the next
// start.
#pragma once

#include "platform/win32.h"

#include "service/accounts.h"

// Room for "<account> may <right> <path>" with the longest account and path, and the advice.
#define FINDING_CAPACITY (MAX_PATH + ACCOUNT_NAME_CAPACITY + 160)

// Holds the executable (ModulePath) against what only administrators may do: it must lie on a
// local fixed drive, with no junction or symbolic link on its path, and the file, its folder
// and every folder up to the drive's root may be changed in a way that replaces it only by
// SYSTEM, Administrators, TrustedInstaller and the account that runs the check (at -i the
// installing administrator, in the service its own account). When anyone else may, the finding
// names the account, what it may do and to which file or folder, as "NT AUTHORITY\Authenticated
// Users may rename or delete C:\Tools\", and where to install from instead: -i shows it as the
// error that refuses the installation (`installing`), the service logs it as a warning. What
// cannot be read is shown as a failed call; the result is false then too.
bool ProgramIsGuarded(bool installing);
