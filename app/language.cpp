// The interface language and its saved form under HKEY_CURRENT_USER.
#include "app/language.h"

#include <windows.h>
#include <wchar.h>

#include "app/app_state.h"
#include "app/language_map.h"
#include "tables/tables.h"

int ChooseLanguage() {
  app.currentLanguage = LanguageForLangId(GetUserDefaultLangID());
  LoadSavedLanguage();
  return 0;
}

void LoadSavedLanguage() {
  HKEY key = nullptr;
  if (RegOpenKeyW(HKEY_CURRENT_USER, InternalString(11), &key) != ERROR_SUCCESS) return;
  // Room for two units, plus one more that stays zero so that four bytes without a
  // terminator still compare as a terminated string.
  wchar_t data[3] = {};
  DWORD size = 4;
  const LONG result = RegQueryValueExW(key, InternalString(12), nullptr, nullptr,
                                       reinterpret_cast<BYTE *>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return;  // missing, or longer than 4 bytes
  for (int language = 0; language < kLanguages; ++language) {
    if (wcscmp(data, InternalString(35 + language)) == 0) {
      app.currentLanguage = language;
      return;
    }
  }
}

void SaveLanguage() {
  wchar_t text[12];
  wsprintfW(text, L"%d", app.currentLanguage);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, InternalString(11), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, InternalString(12), 0, REG_SZ, reinterpret_cast<const BYTE *>(text), 4);
  RegCloseKey(key);
}
