// Expansion of the three built-in tables and read access to the texts.
#include "tables/tables.h"

#include <zlib.h>

#include <cstring>

#include "os/text.h"
#include "tables/table_stream.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(z_stream) == 56, "the 32-bit program passes a 56-byte stream state");
#endif

wchar_t uiTextTable[kLanguages][kUiTexts][kUiTextUnits];
wchar_t internalStringTable[kInternalStrings][kInternalStringUnits];
unsigned char modelTable[kModelEntries * kModelEntryBytes];

namespace {

constexpr size_t kUiTextBytes = kLanguages * kUiTexts * kUiTextUnits;                // 76,000
constexpr size_t kInternalStringBytes = kInternalStrings * kInternalStringUnits;     // 17,408

// One scratch buffer serves all three tables; they are expanded one after the other.
unsigned char scratch[kUiTextBytes];

}  // namespace

bool InflateUiTexts(unsigned char *stream, unsigned int length) {
  if (!InflateStoredTable(stream, length, scratch, kUiTextBytes)) return false;
  const unsigned char *next = scratch;
  wchar_t work[kUiTextUnits];
  for (int language = 0; language < kLanguages; ++language) {
    for (int k = 0; k < kUiTexts; ++k, next += kUiTextUnits) {
      std::memset(work, 0, sizeof work);
      // A slot is UTF-8 up to its terminator; a damaged one without a terminator stops at its
      // end and loses its last unit below.
      const size_t bytes = strnlen(reinterpret_cast<const char *>(next), kUiTextUnits);
      DecodeUtf8(next, static_cast<int>(bytes), work, kUiTextUnits);
      std::memcpy(uiTextTable[language][k], work, sizeof work);
      uiTextTable[language][k][kUiTextUnits - 1] = 0;
    }
  }
  return true;
}

bool InflateInternalStrings(unsigned char *stream, unsigned int length) {
  if (!InflateStoredTable(stream, length, scratch, kInternalStringBytes)) return false;
  const unsigned char *next = scratch;
  for (int i = 0; i < kInternalStrings; ++i) {
    for (int position = 0; position < kInternalStringUnits; ++position) {
      internalStringTable[i][position] = *next++;
    }
  }
  return true;
}

bool InflateModelTable(unsigned char *stream, unsigned int length) {
  if (!InflateStoredTable(stream, length, scratch, sizeof modelTable)) return false;
  std::memcpy(modelTable, scratch, sizeof modelTable);
  return true;
}

const wchar_t *UiTextIn(int language, int k) { return uiTextTable[language][k]; }

const wchar_t *InternalString(int i) { return internalStringTable[i]; }
