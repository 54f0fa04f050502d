// The command line's texts: the built-in tables, and every UI text in English.
#include "cli/english_texts.h"

#include "cli/console.h"
#include "tables/stored_tables.h"
#include "tables/tables.h"

const wchar_t *UiText(int k) { return UiTextIn(kEnglish, k); }

bool LoadBuiltInTables() {
  const char *damaged = nullptr;
  if (!InflateUiTexts(storedUiTexts, storedUiTextsLength)) {
    damaged = "Error #4";
  } else if (!InflateInternalStrings(storedInternalStrings, storedInternalStringsLength)) {
    damaged = "Error #3";
  } else if (!InflateModelTable(storedModelTable, storedModelTableLength)) {
    damaged = "Error #5";
  }
  if (damaged) Err(std::string("korvex: the built-in tables are damaged (") + damaged + ")\n");
  return damaged == nullptr;
}
