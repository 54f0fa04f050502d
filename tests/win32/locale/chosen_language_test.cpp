// The interface language chosen at start-up from the user's locale, then from the saved value.
// CTest runs this once per locale (LC_ALL, which Wine turns into the user's language id) and
// names the language expected for it in KORVEX_EXPECTED_LANGUAGE.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/language.h"

namespace {

TEST(ChosenLanguage, FollowsTheLocaleUnlessALanguageWasSaved) {
  const char *expected = std::getenv("KORVEX_EXPECTED_LANGUAGE");
  ASSERT_NE(expected, nullptr) << "run through CTest, which sets the locale and the expectation";
  ASSERT_EQ(ExpandInternalStrings(), 0);
  RegDeleteKeyW(HKEY_CURRENT_USER, InternalString(11));

  app.currentLanguage = -1;
  EXPECT_EQ(ChooseLanguage(), 0);
  EXPECT_EQ(app.currentLanguage, std::atoi(expected)) << "locale language id "
                                                     << std::hex << GetUserDefaultLangID();

  // A saved choice wins over the locale, whatever the locale is.
  const int saved = (std::atoi(expected) + 1) % 4;
  app.currentLanguage = saved;
  SaveLanguage();
  app.currentLanguage = -1;
  ChooseLanguage();
  EXPECT_EQ(app.currentLanguage, saved);

  RegDeleteKeyW(HKEY_CURRENT_USER, InternalString(11));
}

}  // namespace
