// The three built-in tables as stored in the program: zlib streams whose first two bytes are
// altered (restored before inflation). Generated at build time from resources/tables.
#pragma once

extern unsigned char storedUiTexts[];
extern const unsigned int storedUiTextsLength;
extern unsigned char storedInternalStrings[];
extern const unsigned int storedInternalStringsLength;
extern unsigned char storedModelTable[];
extern const unsigned int storedModelTableLength;
