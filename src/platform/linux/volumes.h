// Volume devices of the Linux backend, for the file functions: a volume's device name
// (\\?\Volume{GUID}, no trailing backslash) opens its file system, and a flush of such a
// handle writes out that whole file system.
#pragma once

#include "platform/linux/handles.h"

// True for a name that lies in the volume device namespace.
bool IsVolumeDeviceName(LPCWSTR name);
// Opens a volume by its device name: INVALID_HANDLE_VALUE with the last error on failure.
HANDLE OpenVolumeDevice(LPCWSTR name);
// Whether a file handle's object stands for a whole volume.
bool IsVolumeObject(const LinuxObject* object);
