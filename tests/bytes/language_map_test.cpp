// Which interface language each Windows language identifier gets.
#include <gtest/gtest.h>

#include "app/language_map.h"

namespace {

struct Case {
  unsigned short langId;
  int language;
  const char *what;
};

TEST(LanguageMap, MapsLocalesToTheFourLanguages) {
  const Case cases[] = {
      {0x0419, 0, "Russian"},
      {0x0422, 0, "Ukrainian"},
      {0x0843, 0, "Uzbek (Cyrillic)"},
      {0x0019, 0, "neutral Russian"},
      {0x0416, 2, "Portuguese (Brazil)"},
      {0x0816, 2, "Portuguese (Portugal)"},
      {0x080A, 2, "Spanish (Mexico)"},
      {0x540A, 2, "Spanish (United States)"},
      {0x0403, 2, "Catalan"},
      {0x0456, 2, "Galician"},
      {0x0804, 3, "Chinese (PRC)"},
      {0x0C04, 3, "Chinese (Hong Kong)"},
      {0x7C04, 3, "Chinese (Traditional)"},
      {0x0451, 3, "Tibetan"},
      {0x0409, 1, "English (US)"},
      {0x400A, 1, "Spanish (Bolivia) is not among the Spanish locales"},
      {0x0407, 1, "German"},
      {0x0411, 1, "Japanese"},
      {0x0000, 1, "neutral"},
      {0xFFFF, 1, "nonsense"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(LanguageForLangId(c.langId), c.language) << c.what;
  }
}

}  // namespace
