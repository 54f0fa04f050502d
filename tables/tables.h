// The built-in UI text and internal string tables and the model table, expanded once at start-up
// from the streams stored in the program. Expanding and reading them is portable: the protocol
// core, its backends and both front ends (the window program and the command line) read the same
// tables, which nobody changes once they are expanded.
#pragma once

constexpr int kLanguages = 4;
constexpr int kEnglish = 1;  // 0 Russian, 1 English, 2 Portuguese, 3 Chinese
constexpr int kUiTexts = 39;
constexpr int kUiTextUnits = 500;
constexpr int kInternalStrings = 136;
constexpr int kInternalStringUnits = 128;

extern wchar_t uiTextTable[kLanguages][kUiTexts][kUiTextUnits];
extern wchar_t internalStringTable[kInternalStrings][kInternalStringUnits];

// The model table: an entry per known model, found by the device's product id.
constexpr int kModelEntries = 161;
constexpr int kModelEntryBytes = 21;  // product id code (4), family (1), model name (16)
constexpr int kModelCodeOffset = 0;
constexpr int kModelCodeBytes = 4;
constexpr int kModelFamilyOffset = 4;
constexpr int kModelNameOffset = 5;
constexpr int kModelNameBytes = 16;  // NUL-padded; a 16-character name has no terminator
extern unsigned char modelTable[kModelEntries * kModelEntryBytes];

// Each inflates a stored stream (its first two bytes are overwritten) into its table; false when
// the stream is damaged, and then the table is left as it was.
bool InflateUiTexts(unsigned char *stream, unsigned int length);
bool InflateInternalStrings(unsigned char *stream, unsigned int length);
bool InflateModelTable(unsigned char *stream, unsigned int length);

// UI text k (0-36) in a language; internal string i (0-135), the same in every language. Both
// stay valid for the whole run.
const wchar_t *UiTextIn(int language, int k);
const wchar_t *InternalString(int i);
