// What the other parts of the backend may do with an event object.
#pragma once

#include "platform/linux/handles.h"

// A second handle to the same event (DuplicateHandle); null when there is no memory.
HANDLE DuplicateEventHandle(LinuxObject* event);
