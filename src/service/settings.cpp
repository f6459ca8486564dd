// Placeholder until the settings file lands.
#include "service/settings.h"

ServiceSettingsRecord ServiceSettings = {30, 0};

int LoadSettings(void) { return 4; }
