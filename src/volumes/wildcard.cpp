// Placeholder until the matcher lands.
#include "volumes/wildcard.h"

bool MatchWildcard(LPCWSTR, LPCWSTR, bool) { return false; }
