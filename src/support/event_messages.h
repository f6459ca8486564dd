// The event ids of the message table that sorvanel.exe carries (src/platform/windows/
// messages.mc). Event Viewer renders each event through it, so the ids and the number of
// strings that each message inserts must stay as they are here.
#pragma once

// An error, as the service would have shown it in a message box: %1 is the text.
#define EVENT_ERROR 1
// The same error again after it was held back: %1 is the text, %2 how often it was held back.
#define EVENT_ERROR_REPEATED 2
// The settings in force once the service has read them: %1 is the description.
#define EVENT_SETTINGS 3
