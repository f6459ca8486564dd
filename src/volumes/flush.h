// Volume enumeration and the flush of the selected volumes.
#pragma once

#include "platform/win32.h"
#include "volumes/templates.h"

// 0 when every pass finished and a volume was written out or none was tried; 3 when the
// enumeration failed, 7 when volumes were tried and none of them was written out, 8 when
// there was no memory for a long mount-path list.
int FlushSelectedVolumes(const TemplateList* templates, bool verbose);
// Flushes one selected volume whose mount-path list (`length` characters, every terminator
// counted) was read; the list is joined by commas for the progress line. Returns 1 when the
// buffers were written out, 2 when the volume could not be opened or flushed (shown), 0 when
// it went away.
int FlushOneVolume(LPCWSTR volumeName, LPWSTR paths, DWORD length, bool verbose);
