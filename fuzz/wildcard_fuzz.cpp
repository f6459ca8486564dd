// Fuzzes the wildcard matcher against the plain recursive form of the rules: both must give
// the same answer for any pattern and text, with case kept or ignored, and the matcher must
// stay within pattern x text comparisons. The recursion's work is bounded (few stars,
// short texts, a step budget), so that every input is answered quickly.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "sim/sim.h"
#include "unit/wildcard_reference.h"
#include "volumes/wildcard.h"

namespace {

const size_t MaxText = 48;
const int MaxStars = 6;
const unsigned long long StepBudget = 20000;

// Small alphabets make matches likely; the top bit of a byte picks a wider character.
char16_t Character(uint8_t byte) {
  static const char16_t Narrow[] = u"aAbB?*\\:";
  static const char16_t Wide[] = u"\u00e4\u00c4\u03c3\u03a3\u0130i\u00dfZ";
  return (byte & 0x80) ? Wide[byte & 7] : Narrow[byte & 7];
}

}  // namespace

// Millions of runs: the simulation keeps no call log, so a call only counts itself.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SimSetCallLog(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  bool ignoreCase = data[0] & 1;
  size_t patternLength = data[1] % 32;
  data += 2;
  size -= 2;
  if (patternLength > size) patternLength = size;
  std::u16string pattern, text;
  int stars = 0;
  for (size_t i = 0; i < patternLength; ++i) {
    char16_t ch = Character(data[i]);
    if (ch == u'*' && ++stars > MaxStars) ch = u'?';
    pattern += ch;
  }
  for (size_t i = patternLength; i < size && text.size() < MaxText; ++i) {
    char16_t ch = Character(data[i]);
    text += ch;
  }

  unsigned long long steps = 0;
  bool expected = reference::Match(reinterpret_cast<LPCWSTR>(pattern.c_str()),
                                   reinterpret_cast<LPCWSTR>(text.c_str()), ignoreCase, &steps,
                                   StepBudget);
  if (steps > StepBudget) return 0;  // the reference gave up: no answer to compare with
  unsigned upperBefore = SimCallCount("CharUpperW");
  bool actual = MatchWildcard(reinterpret_cast<LPCWSTR>(pattern.c_str()),
                              reinterpret_cast<LPCWSTR>(text.c_str()), ignoreCase);
  if (actual != expected) abort();
  unsigned upperCalls = SimCallCount("CharUpperW") - upperBefore;
  if (upperCalls > 2 * (pattern.size() + 1) * (text.size() + 1)) abort();
  if (!ignoreCase && upperCalls != 0) abort();
  return 0;
}
