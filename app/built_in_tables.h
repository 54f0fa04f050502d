// The window program's built-in tables: their expansion at start-up, with its own boxes for a
// damaged one, and its UI texts in the chosen language.
#pragma once

#include "tables/tables.h"

// UI text k (0-36) in the chosen language.
const wchar_t *UiText(int k);

// Each returns 0, or 1 after telling the user in an ownerless "Init" box.
int ExpandUiTexts();
int ExpandInternalStrings();
int ExpandModelTable();
// The same from a given stored stream (its first two bytes are overwritten).
int ExpandUiTextsFrom(unsigned char *stream, unsigned int length);
int ExpandInternalStringsFrom(unsigned char *stream, unsigned int length);
int ExpandModelTableFrom(unsigned char *stream, unsigned int length);
