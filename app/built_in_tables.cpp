// The window program's expansion of the built-in tables at start-up, and its UI texts in the
// chosen language.
#include <windows.h>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "tables/stored_tables.h"
#include "tables/tables.h"

namespace {

int FailInit(const wchar_t *text) {
  MessageBoxW(nullptr, text, L"Init", MB_ICONERROR);
  return 1;
}

}  // namespace

int ExpandUiTexts() { return ExpandUiTextsFrom(storedUiTexts, storedUiTextsLength); }
int ExpandInternalStrings() {
  return ExpandInternalStringsFrom(storedInternalStrings, storedInternalStringsLength);
}
int ExpandModelTable() { return ExpandModelTableFrom(storedModelTable, storedModelTableLength); }

int ExpandUiTextsFrom(unsigned char *stream, unsigned int length) {
  return InflateUiTexts(stream, length) ? 0 : FailInit(L"Error #4");
}

int ExpandInternalStringsFrom(unsigned char *stream, unsigned int length) {
  return InflateInternalStrings(stream, length) ? 0 : FailInit(L"Error #3");
}

int ExpandModelTableFrom(unsigned char *stream, unsigned int length) {
  return InflateModelTable(stream, length) ? 0 : FailInit(L"Error #5");
}

const wchar_t *UiText(int k) { return UiTextIn(app.currentLanguage, k); }
