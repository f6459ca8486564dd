// Placeholder until service installation lands.
#include "service/install.h"

#include "support/output.h"

const WCHAR ServiceName[] = TEXT("Tamberlocke_Sorvanel");
const WCHAR ServiceDisplayName[] = TEXT("Volume file buffers flusher");

int InstallService(void) {
  ShowError(TEXT("Installing the service is not supported by this build yet"));
  return 7;
}

int RemoveService(void) {
  ShowError(TEXT("Removing the service is not supported by this build yet"));
  return 7;
}
