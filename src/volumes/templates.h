// Volume templates: the ordered list of texts that select volumes, and their tokenizer.
#pragma once

#include "platform/win32.h"
#include "support/linked_list.h"

#define TEMPLATE_CAPACITY 260

struct VolumeTemplate {
  ListNode* prev;
  ListNode* next;
  WCHAR text[TEMPLATE_CAPACITY];
};

typedef LinkedList TemplateList;

// The process-wide list that the service fills from its settings file.
extern TemplateList GlobalTemplateList;

enum TokenOptions { DoubledQuoteEscape = 1, BackslashEscape = 2 };

LPCWSTR NextToken(LPCWSTR text, LPWSTR out, DWORD capacity, LPCWSTR delimiters, DWORD options);
int ParseTemplates(LPCWSTR* position, TemplateList* list);
// Takes every node out of the list and frees it.
void EmptyTemplateList(TemplateList* list);
// The static initialiser of the global list.
void InitGlobalTemplateList(void);
