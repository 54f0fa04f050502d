// Which interface language a Windows language identifier gets.
#include "app/language_map.h"

namespace {

// Russian for Russian and the languages of Ukraine, Belarus, Armenia, Azerbaijan, Georgia,
// Kazakhstan, Kyrgyzstan, Turkmenistan, Uzbekistan, Tatar, Bashkir and Yakut.
const unsigned short kRussianIds[] = {
    0x0019, 0x0419, 0x0422, 0x0423, 0x042B, 0x042C, 0x0437, 0x043F,
    0x0440, 0x0442, 0x0443, 0x0444, 0x046D, 0x0485, 0x082C, 0x0843,
};

// Portuguese for Portuguese, the Spanish locales below, Catalan, Valencian and Galician.
const unsigned short kPortugueseIds[] = {
    0x0016, 0x0403, 0x040A, 0x0416, 0x0456, 0x0803, 0x080A, 0x0816, 0x0C0A,
    0x100A, 0x140A, 0x180A, 0x1C0A, 0x200A, 0x240A, 0x280A, 0x2C0A, 0x300A,
    0x340A, 0x380A, 0x3C0A, 0x440A, 0x480A, 0x4C0A, 0x500A, 0x540A,
};

// Chinese for all Chinese locales and Tibetan, Yi and Uyghur of China.
const unsigned short kChineseIds[] = {
    0x0004, 0x0404, 0x0451, 0x0478, 0x0480, 0x0804, 0x0C04, 0x1004, 0x1404, 0x7C04,
};

template <unsigned N>
bool Contains(const unsigned short (&ids)[N], unsigned short id) {
  for (unsigned short candidate : ids) {
    if (candidate == id) return true;
  }
  return false;
}

}  // namespace

int LanguageForLangId(unsigned short langId) {
  if (Contains(kRussianIds, langId)) return 0;
  if (Contains(kPortugueseIds, langId)) return 2;
  if (Contains(kChineseIds, langId)) return 3;
  return 1;
}
