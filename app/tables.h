// The built-in UI text and internal string tables and the model table, expanded once at start-up
// from the streams stored in the program. Expanding and reading them is portable: both front ends
// (the window program and the command line) carry the same tables.
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

// UI text k in the front end's language: the window program's chosen language, the command
// line's English. Each front end defines it.
const wchar_t *UiText(int k);

// ---- The window program's start-up (app/built_in_tables.cpp) ---------------------------------
// Each returns 0, or 1 after telling the user in an ownerless "Init" box.
int ExpandUiTexts();
int ExpandInternalStrings();
int ExpandModelTable();
// The same from a given stored stream (its first two bytes are overwritten).
int ExpandUiTextsFrom(unsigned char *stream, unsigned int length);
int ExpandInternalStringsFrom(unsigned char *stream, unsigned int length);
int ExpandModelTableFrom(unsigned char *stream, unsigned int length);
