// The three built-in tables as read from their text sources under resources/tables, before they
// are laid out, compressed and compiled into the program.
#pragma once

#include <string>
#include <vector>

constexpr int kLanguageCount = 4;        // 0 Russian, 1 English, 2 Portuguese, 3 Chinese
constexpr int kUiTextCount = 39;
constexpr int kUiTextSlotBytes = 500;    // UTF-8 text plus terminator
constexpr int kInternalStringCount = 136;
constexpr int kInternalStringSlotBytes = 128;
constexpr int kModelCount = 161;
constexpr int kModelRecordBytes = 21;
constexpr int kModelNameBytes = 16;

// Language codes used as keys in ui_texts.txt, in language-index order.
extern const char *const kLanguageCodes[kLanguageCount];  // "ru", "en", "pt", "zh"

struct ModelRow {
  std::string productIdCode;  // 4 characters
  int family = 0;             // 0, 1 or 2
  std::string modelName;      // up to 16 single-byte characters
  int line = 0;               // line in models.txt, for messages
};

struct TableSources {
  std::string uiTexts[kLanguageCount][kUiTextCount];  // UTF-8, escapes already resolved
  std::string internalStrings[kInternalStringCount];  // single bytes, escapes resolved; may hold \0
  std::vector<ModelRow> models;                       // in table order
};

// Reads ui_texts.txt, internal_strings.txt and models.txt from dir. Syntax and layout errors
// (a missing or duplicated entry, a text too long for its slot, a malformed row) are appended
// to errors as "file:line: message"; the result is usable only when errors stays empty.
TableSources LoadTableSources(const std::string &dir, std::vector<std::string> &errors);

// The rules that other parts of the program place on the texts and rows (argument lists of the
// format strings, characters read at fixed positions, saved language digits, and so on). Each
// broken rule adds one readable message. Defined in table_checks.cpp and its siblings.
void CheckUiTexts(const TableSources &tables, std::vector<std::string> &errors);
void CheckInternalStrings(const TableSources &tables, std::vector<std::string> &errors);
void CheckModelTable(const TableSources &tables, std::vector<std::string> &errors);
