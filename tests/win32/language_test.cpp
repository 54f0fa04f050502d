// The saved interface language in the registry: read back, refused when not recognised, written.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/language.h"

namespace {

class SavedLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExpandInternalStrings(), 0);
    RegDeleteKeyW(HKEY_CURRENT_USER, InternalString(11));
  }
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, InternalString(11)); }

  void Store(DWORD type, const void *data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, InternalString(11), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, InternalString(12), 0, type, static_cast<const BYTE *>(data),
                             size),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // The language after LoadSavedLanguage, starting from the given locale language.
  int LoadedOver(int localeLanguage) {
    app.currentLanguage = localeLanguage;
    LoadSavedLanguage();
    return app.currentLanguage;
  }
};

TEST_F(SavedLanguage, RecognisedDigitOverridesTheLocale) {
  Store(REG_SZ, L"3", 4);
  EXPECT_EQ(LoadedOver(0), 3) << "saved Chinese over a Russian locale";
  Store(REG_SZ, L"0", 4);
  EXPECT_EQ(LoadedOver(2), 0);
}

TEST_F(SavedLanguage, MissingOrUnrecognisedValuesKeepTheLocale) {
  EXPECT_EQ(LoadedOver(2), 2) << "no key at all";
  Store(REG_SZ, L"7", 4);
  EXPECT_EQ(LoadedOver(1), 1) << "a digit that is no language";
  Store(REG_SZ, L"x", 4);
  EXPECT_EQ(LoadedOver(0), 0) << "another text";
  Store(REG_SZ, L"33", 6);
  EXPECT_EQ(LoadedOver(1), 1) << "longer than one character";
  Store(REG_SZ, L"1 ", 6);
  EXPECT_EQ(LoadedOver(0), 0) << "digit followed by a space";
  const wchar_t noTerminator[2] = {L'3', L'3'};
  Store(REG_BINARY, noTerminator, 4);
  EXPECT_EQ(LoadedOver(1), 1) << "four bytes without a terminator";
}

TEST_F(SavedLanguage, SavedAsOneDigitOfFourBytes) {
  for (int language = 0; language < 4; ++language) {
    app.currentLanguage = language;
    SaveLanguage();
    HKEY key;
    ASSERT_EQ(RegOpenKeyW(HKEY_CURRENT_USER, InternalString(11), &key), ERROR_SUCCESS);
    wchar_t data[8] = {};
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, InternalString(12), nullptr, &type,
                               reinterpret_cast<BYTE *>(data), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data[0], L'0' + language);
    EXPECT_EQ(data[1], 0);
    // What is saved is read back as the same language.
    EXPECT_EQ(LoadedOver((language + 1) % 4), language);
  }
}

}  // namespace
