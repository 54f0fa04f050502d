// The built-in UI text and internal string tables, expanded once at start-up.
#pragma once

#include <windows.h>

constexpr int kLanguages = 4;
constexpr int kUiTexts = 37;
constexpr int kUiTextUnits = 500;
constexpr int kInternalStrings = 136;
constexpr int kInternalStringUnits = 128;

extern wchar_t uiTextTable[kLanguages][kUiTexts][kUiTextUnits];
extern wchar_t internalStringTable[kInternalStrings][kInternalStringUnits];

// Each returns 0, or 1 after telling the user in an ownerless "Init" box.
int ExpandUiTexts();
int ExpandInternalStrings();
int ExpandModelTable();
// The same from a given stored stream (its first two bytes are overwritten).
int ExpandUiTextsFrom(unsigned char *stream, unsigned int length);
int ExpandInternalStringsFrom(unsigned char *stream, unsigned int length);
int ExpandModelTableFrom(unsigned char *stream, unsigned int length);

// UI text k (0-36) in the current language; internal string i (0-135), the same in every
// language. Both stay valid for the whole run.
const wchar_t *UiText(int k);
const wchar_t *InternalString(int i);
