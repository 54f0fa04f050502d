// Expansion of the three built-in tables and read access to the texts.
#include "app/tables.h"

#include <zlib.h>

#include "app/app_state.h"
#include "app/stored_tables.h"
#include "app/table_stream.h"
#include "info/model_identification.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(z_stream) == 56, "the 32-bit program passes a 56-byte stream state");
#endif

wchar_t uiTextTable[kLanguages][kUiTexts][kUiTextUnits];
wchar_t internalStringTable[kInternalStrings][kInternalStringUnits];

namespace {

constexpr size_t kUiTextBytes = kLanguages * kUiTexts * kUiTextUnits;                // 74,000
constexpr size_t kInternalStringBytes = kInternalStrings * kInternalStringUnits;     // 17,408

// One scratch buffer serves all three tables; they are expanded one after the other.
unsigned char scratch[kUiTextBytes];

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
  if (!InflateStoredTable(stream, length, scratch, kUiTextBytes)) {
    return FailInit(L"Error #4");
  }
  const unsigned char *next = scratch;
  wchar_t work[kUiTextUnits];
  for (int language = 0; language < kLanguages; ++language) {
    for (int k = 0; k < kUiTexts; ++k, next += kUiTextUnits) {
      ZeroMemory(work, sizeof work);
      MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char *>(next), -1, work,
                          kUiTextUnits);
      CopyMemory(uiTextTable[language][k], work, sizeof work);
      // Every stored slot holds its terminator; this keeps a damaged one from running on.
      uiTextTable[language][k][kUiTextUnits - 1] = 0;
    }
  }
  return 0;
}

int ExpandInternalStringsFrom(unsigned char *stream, unsigned int length) {
  if (!InflateStoredTable(stream, length, scratch, kInternalStringBytes)) {
    return FailInit(L"Error #3");
  }
  const unsigned char *next = scratch;
  for (int i = 0; i < kInternalStrings; ++i) {
    for (int position = 0; position < kInternalStringUnits; ++position) {
      internalStringTable[i][position] = *next++;
    }
  }
  return 0;
}

int ExpandModelTableFrom(unsigned char *stream, unsigned int length) {
  if (!InflateStoredTable(stream, length, scratch, sizeof modelTable)) {
    return FailInit(L"Error #5");
  }
  CopyMemory(modelTable, scratch, sizeof modelTable);
  return 0;
}

const wchar_t *UiText(int k) { return uiTextTable[app.currentLanguage][k]; }

const wchar_t *InternalString(int i) { return internalStringTable[i]; }
