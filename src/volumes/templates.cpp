// Placeholder until the template parser lands: no templates are taken.
#include "volumes/templates.h"

#include "support/output.h"

TemplateList GlobalTemplateList;

LPCWSTR NextToken(LPCWSTR, LPWSTR out, DWORD, LPCWSTR, DWORD) {
  if (out) out[0] = 0;
  return nullptr;
}

int ParseTemplates(LPCWSTR* position, TemplateList*) {
  if (**position) ShowError(TEXT("Volume templates are not supported by this build yet"));
  return **position ? 2 : 0;
}

void EmptyTemplateList(TemplateList* list) {
  while (RemoveFirstNode(list)) {
  }
}

void InitGlobalTemplateList(void) { InitList(&GlobalTemplateList); }
