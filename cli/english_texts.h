// The command line's texts: the program's own tables, with the UI texts in English.
#pragma once

// Expands the three built-in tables; false after saying which one is damaged.
bool LoadBuiltInTables();

// UI text k (0-36) in English, the command line's language.
const wchar_t *UiText(int k);
