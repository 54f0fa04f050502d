// The built-in UI text and internal string tables and the model table, expanded once at start-up
// from the streams stored in the program. Expanding and reading them is portable: the protocol
// core, its backends and both front ends (the window program and the command line) read the same
// tables, which nobody changes once they are expanded.
#pragma once

constexpr int kLanguages = 4;
constexpr int kEnglish = 1;  // 0 Russian, 1 English, 2 Portuguese, 3 Chinese
constexpr int kUiTexts = 37;
constexpr int kUiTextUnits = 500;
constexpr int kInternalStrings = 136;
constexpr int kInternalStringUnits = 128;

extern wchar_t uiTextTable[kLanguages][kUiTexts][kUiTextUnits];
extern wchar_t internalStringTable[kInternalStrings][kInternalStringUnits];

// Each inflates a stored stream (its first two bytes are overwritten) into its table; false when
// the stream is damaged, and then the table is left as it was.
bool InflateUiTexts(unsigned char *stream, unsigned int length);
bool InflateInternalStrings(unsigned char *stream, unsigned int length);
bool InflateModelTable(unsigned char *stream, unsigned int length);

// UI text k (0-36) in a language; internal string i (0-135), the same in every language. Both
// stay valid for the whole run.
const wchar_t *UiTextIn(int language, int k);
const wchar_t *InternalString(int i);
