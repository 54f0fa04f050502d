// The interface language: chosen from the user's locale and the saved choice, and saved.
#pragma once

// Sets currentLanguage from the user's locale, then from the saved value. Returns 0.
int ChooseLanguage();
// Overrides currentLanguage when the registry holds a recognised saved value.
void LoadSavedLanguage();
// Writes currentLanguage to the registry; failures are ignored.
void SaveLanguage();
