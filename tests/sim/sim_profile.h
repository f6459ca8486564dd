// Plain files of the simulated machine (the settings file beside the executable) and the
// private-profile functions that read them.
#pragma once

#include <string>

#include "sim/sim.h"

// A file with these bytes; the profile functions read it whole, as UTF-16 behind a byte-order
// mark and otherwise in the machine's ANSI code page (SimSetAnsiCodePage, 1252 unless set).
// Paths are compared without regard to case. Replaces an earlier file of that path.
void SimSetFile(const std::u16string& path, const std::string& bytes);
void SimRemoveFile(const std::u16string& path);
// Opening the file fails with `error` (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION...),
// for CreateFileW and for the profile functions alike; 0 lifts it.
void SimSetFileOpenError(const std::u16string& path, DWORD error);

// Another process holds the file open with that access and share mode until the reset. An
// open whose rights the holder does not share, or which does not share the holder's rights,
// fails with ERROR_SHARING_VIOLATION, as Windows decides it (reading, writing and deleting
// each against FILE_SHARE_READ, FILE_SHARE_WRITE and FILE_SHARE_DELETE). The profile
// functions open for reading and share everything.
void SimHoldFileOpen(const std::u16string& path, DWORD access, DWORD share);

// Opens a plain file for CreateFileW: a handle (counted) when the file exists and opens,
// otherwise INVALID_HANDLE_VALUE with the last error set (ERROR_FILE_NOT_FOUND for a
// missing file). Only OPEN_EXISTING is modelled. The volume part of the simulation hands
// every path that is not a volume here.
HANDLE SimOpenPlainFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition);
