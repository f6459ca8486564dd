// Fuzzes the template tokenizer and parser. NextToken, with any capacity, delimiter set and
// options, writes nothing past its buffer, terminates it, returns a position inside the
// text, and skips to the same place without a buffer. ParseTemplates gives 0, 2 or 8, every
// template holds 1 to 259 characters, the nodes are exactly the live heap blocks and all
// are freed when the list is emptied; text without double quotes splits at its blanks.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "sim/sim.h"
#include "volumes/templates.h"

namespace {

const DWORD MaxCapacity = 300;
const DWORD GuardLength = 16;
const WCHAR Canary = 0xA5A5;

void Check(bool condition) {
  if (!condition) abort();
}

// Bytes become characters of a small, troublesome alphabet, or any UTF-16 unit.
char16_t Character(const uint8_t* data, size_t* at, size_t size) {
  static const char16_t Alphabet[] = u" \t\"\\ab:,\u00e4\u03a3";
  uint8_t byte = data[(*at)++];
  if (byte < 0xF0 || *at + 1 >= size) return Alphabet[byte % 10];
  char16_t unit = static_cast<char16_t>(data[*at] | (data[*at + 1] << 8));
  *at += 2;
  return unit ? unit : u'x';
}

// Whether the list holds exactly the blank-separated runs of a text without quotes, each cut
// to the capacity. Compared in place: no copies, so a long input costs no allocations.
bool HoldsTheRunsBetweenBlanks(const std::u16string& text, const TemplateList* list) {
  const ListNode* node = FirstNode(list);
  size_t at = 0;
  for (;;) {
    while (at < text.size() && (text[at] == u' ' || text[at] == u'\t')) ++at;
    if (at == text.size()) return node == nullptr;
    size_t start = at;
    while (at < text.size() && text[at] != u' ' && text[at] != u'\t') ++at;
    if (!node) return false;
    const VolumeTemplate* entry = reinterpret_cast<const VolumeTemplate*>(node);
    size_t length = at - start < TEMPLATE_CAPACITY - 1 ? at - start : TEMPLATE_CAPACITY - 1;
    for (size_t i = 0; i < length; ++i) {
      if (entry->text[i] != text[start + i]) return false;
    }
    if (entry->text[length] != 0) return false;
    node = NextNode(node);
  }
}

void FuzzNextToken(const std::u16string& text, DWORD capacity, const std::u16string* delimiters,
                   DWORD options) {
  LPCWSTR start = reinterpret_cast<LPCWSTR>(text.c_str());
  LPCWSTR set = delimiters ? reinterpret_cast<LPCWSTR>(delimiters->c_str()) : nullptr;
  WCHAR out[MaxCapacity + GuardLength];
  for (WCHAR& ch : out) ch = Canary;
  LPCWSTR next = NextToken(start, out, capacity, set, options);
  for (DWORD i = capacity; i < MaxCapacity + GuardLength; ++i) Check(out[i] == Canary);
  DWORD length = 0;
  while (length < capacity && out[length] != 0) ++length;
  Check(length < capacity);  // terminated inside the buffer
  Check(next == nullptr ? text.empty() : (next >= start && next <= start + text.size()));
  Check(next == nullptr || next > start || length == 0);
  Check(NextToken(start, nullptr, 0, set, options) == next);
}

}  // namespace

// Millions of runs: the simulation keeps no call log, so a call only counts itself.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SimSetCallLog(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  DWORD capacity = 1 + ((data[0] | (data[1] << 8)) % MaxCapacity);
  DWORD options = data[2] & 3;
  uint8_t setup = data[3];
  size_t at = 4;
  std::u16string text;
  while (at < size) text += Character(data, &at, size);

  SimReset();
  std::u16string delimiters = u",; ";
  FuzzNextToken(text, capacity, nullptr, options);
  FuzzNextToken(text, capacity, &delimiters, options);
  // Reading token after token always moves on and ends.
  LPCWSTR position = reinterpret_cast<LPCWSTR>(text.c_str());
  for (size_t tokens = 0; position && *position; ++tokens) {
    Check(tokens <= text.size());
    LPCWSTR next = NextToken(position, nullptr, 0, nullptr, options);
    position = next == position ? next + 1 : next;
  }

  TemplateList list;
  InitList(&list);
  if (setup & 1) SimFailCall("HeapAlloc", 1 + (setup >> 1) % 8, ERROR_NOT_ENOUGH_MEMORY);
  LPCWSTR parsed = reinterpret_cast<LPCWSTR>(text.c_str());
  int result = ParseTemplates(&parsed, &list);
  Check(result == 0 || result == 2 || result == 8);
  Check(parsed >= reinterpret_cast<LPCWSTR>(text.c_str()) &&
        parsed <= reinterpret_cast<LPCWSTR>(text.c_str()) + text.size());
  if (result == 0) Check(*parsed == 0);
  Check(result != 8 || (setup & 1));
  LONG nodes = 0;
  for (const ListNode* node = FirstNode(&list); node; node = NextNode(node), ++nodes) {
    const VolumeTemplate* entry = reinterpret_cast<const VolumeTemplate*>(node);
    size_t length = 0;
    while (length < TEMPLATE_CAPACITY && entry->text[length]) ++length;
    Check(length >= 1 && length <= TEMPLATE_CAPACITY - 1);
  }
  Check(nodes == NodeCount(&list));
  Check(SimLiveHeapBlocks() == NodeCount(&list));
  if (text.find(u'"') == std::u16string::npos && result == 0) {
    Check(HoldsTheRunsBetweenBlanks(text, &list));
  }
  EmptyTemplateList(&list);
  Check(SimLiveHeapBlocks() == 0);
  Check(NodeCount(&list) == 0 && FirstNode(&list) == nullptr);
  return 0;
}
