// Placeholder until volume enumeration lands.
#include "volumes/flush.h"

#include "support/output.h"

int FlushSelectedVolumes(const TemplateList*, bool) {
  ShowError(TEXT("Flushing volumes is not supported by this build yet"));
  return 0;
}

int FlushOneVolume(LPCWSTR, bool) { return 0; }
