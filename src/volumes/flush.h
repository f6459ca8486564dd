// Volume enumeration and the flush of the selected volumes.
#pragma once

#include "platform/win32.h"
#include "volumes/templates.h"

int FlushSelectedVolumes(const TemplateList* templates, bool verbose);
int FlushOneVolume(LPCWSTR volumeName, bool verbose);
