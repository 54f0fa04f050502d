// Which interface language a Windows language identifier gets (byte level, no Windows headers).
#pragma once

// 0 Russian, 1 English, 2 Portuguese, 3 Chinese.
int LanguageForLangId(unsigned short langId);
