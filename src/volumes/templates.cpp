// Volume templates: the tokenizer, the parser that turns a text into a list of templates,
// and the process-wide list that the service fills from its settings file.
#include "volumes/templates.h"

#include "support/output.h"
#include "support/runtime.h"
#include "support/text.h"

TemplateList GlobalTemplateList;

namespace {

// Inside a quoted token only the double quote ends it.
const WCHAR QuoteOnly[] = TEXT("\"");

// Stores one character while there is room; the rest of a long token is dropped.
inline void StoreChar(LPWSTR out, DWORD capacity, DWORD* stored, WCHAR ch) {
  if (out && *stored < capacity - 1) out[(*stored)++] = ch;
}

// The list's end-of-life operation: the nodes are freed by whoever empties the list
// before the runtime shuts down, so nothing is left to do here.
void GlobalTemplateListAtExit(void) {}

}  // namespace

LPCWSTR NextToken(LPCWSTR text, LPWSTR out, DWORD capacity, LPCWSTR delimiters, DWORD options) {
  if (out && capacity == 0) {
    DebugBreak();  // a caller error: not even the terminator fits
    out = nullptr;
  }
  DWORD stored = 0;
  if (*text == 0) {
    if (out) out[0] = 0;
    return nullptr;
  }
  bool quoted = *text == '"';
  LPCWSTR set = delimiters;
  if (quoted) {
    ++text;
    set = QuoteOnly;
    if (*text == 0) {
      if (out) out[0] = 0;
      return text;
    }
  }
  while (*text) {
    WCHAR ch = *text;
    if (ch == '"' && text[1] == '"' && (options & DoubledQuoteEscape)) {
      StoreChar(out, capacity, &stored, '"');
      text += 2;
      continue;
    }
    if (ch == '\\' && (text[1] == '\\' || text[1] == '"') && (options & BackslashEscape)) {
      StoreChar(out, capacity, &stored, text[1]);
      text += 2;
      continue;
    }
    if (IsBlank(ch, set)) break;
    StoreChar(out, capacity, &stored, ch);
    ++text;
  }
  if (quoted && *text == '"') ++text;  // the closing quote
  if (out) out[stored] = 0;
  return text;
}

int ParseTemplates(LPCWSTR* position, TemplateList* list) {
  WCHAR token[TEMPLATE_CAPACITY];
  for (;;) {
    LPCWSTR at = *position;
    if (*at == 0) return 0;
    at = SkipBlanks(at, nullptr);
    LPCWSTR next = NextToken(at, token, TEMPLATE_CAPACITY, nullptr, DoubledQuoteEscape);
    if (!next) {
      // Only blanks followed the last template: the text is used up, which is no error.
      *position = at;
      return 0;
    }
    *position = next;
    if (token[0] == 0) {
      ShowError(TEXT("Error in volume template"));
      return 2;
    }
    VolumeTemplate* node = static_cast<VolumeTemplate*>(AllocateMemory(sizeof(VolumeTemplate)));
    if (!node) {
      ShowError(TEXT("No memory for volume descriptor"));
      return 8;
    }
    InitLinks(reinterpret_cast<ListNode*>(node));
    CopyBounded(node->text, TEMPLATE_CAPACITY, token, 0);
    AppendNode(list, reinterpret_cast<ListNode*>(node));
  }
}

void EmptyTemplateList(TemplateList* list) {
  while (ListNode* node = RemoveFirstNode(list)) FreeMemory(node, sizeof(VolumeTemplate));
}

void InitGlobalTemplateList(void) {
  InitList(&GlobalTemplateList);
  RegisterAtExit(GlobalTemplateListAtExit);
}
