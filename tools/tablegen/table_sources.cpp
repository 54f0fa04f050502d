// Reader of the three table sources: ui_texts.txt, internal_strings.txt and models.txt.
#include "table_sources.h"

#include <cctype>
#include <fstream>
#include <sstream>

const char *const kLanguageCodes[kLanguageCount] = {"ru", "en", "pt", "zh"};

namespace {

std::string Where(const std::string &file, int line) {
  return file + ":" + std::to_string(line) + ": ";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Resolves \n \r \t \\ and \xHH. Returns false with a message on a malformed escape.
bool Unescape(const std::string &in, std::string &out, std::string &problem) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (i + 1 >= in.size()) {
      problem = "backslash at the end of the line";
      return false;
    }
    char e = in[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < in.size() ? HexValue(in[i + 1]) : -1;
        int lo = i + 2 < in.size() ? HexValue(in[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          problem = "\\x needs two hexadecimal digits";
          return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        problem = std::string("unknown escape \\") + e;
        return false;
    }
  }
  return true;
}

bool ReadLines(const std::string &path, std::vector<std::string> &lines,
               std::vector<std::string> &errors) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors.push_back(path + ": cannot be read");
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

bool IsSkipped(const std::string &line) {
  size_t first = line.find_first_not_of(" \t");
  return first == std::string::npos || line[first] == '#';
}

// Splits "key = value" (or "key =" for an empty value). The value is verbatim.
bool SplitAssignment(const std::string &line, std::string &key, std::string &value) {
  size_t eq = line.find(" =");
  if (eq == std::string::npos || eq == 0) return false;
  key = line.substr(0, eq);
  std::string rest = line.substr(eq + 2);
  if (rest.empty()) {
    value.clear();
    return true;
  }
  if (rest[0] != ' ') return false;
  value = rest.substr(1);
  return true;
}

bool ParseIndex(const std::string &text, int limit, int &index) {
  if (text.empty() || text.size() > 4) return false;
  index = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    index = index * 10 + (c - '0');
  }
  return index < limit;
}

bool IsValidUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += extra + 1;
  }
  return true;
}

void LoadUiTexts(const std::string &dir, TableSources &tables, std::vector<std::string> &errors) {
  const std::string file = dir + "/ui_texts.txt";
  std::vector<std::string> lines;
  if (!ReadLines(file, lines, errors)) return;
  bool seen[kLanguageCount][kUiTextCount] = {};
  int section = -1;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string &line = lines[n];
    const int lineNo = static_cast<int>(n) + 1;
    if (IsSkipped(line)) continue;
    if (line[0] == '[') {
      int index;
      if (line.back() != ']' || !ParseIndex(line.substr(1, line.size() - 2), kUiTextCount, index)) {
        errors.push_back(Where(file, lineNo) + "expected a section [0] to [" +
                         std::to_string(kUiTextCount - 1) + "]");
        section = -1;
        continue;
      }
      section = index;
      continue;
    }
    std::string key, raw;
    if (!SplitAssignment(line, key, raw)) {
      errors.push_back(Where(file, lineNo) + "expected 'language = text'");
      continue;
    }
    if (section < 0) {
      errors.push_back(Where(file, lineNo) + "text outside a section");
      continue;
    }
    int lang = -1;
    for (int l = 0; l < kLanguageCount; ++l) {
      if (key == kLanguageCodes[l]) lang = l;
    }
    if (lang < 0) {
      errors.push_back(Where(file, lineNo) + "unknown language '" + key + "'");
      continue;
    }
    if (seen[lang][section]) {
      errors.push_back(Where(file, lineNo) + "second " + key + " text for [" +
                       std::to_string(section) + "]");
      continue;
    }
    seen[lang][section] = true;
    std::string text, problem;
    if (!Unescape(raw, text, problem)) {
      errors.push_back(Where(file, lineNo) + problem);
      continue;
    }
    if (text.find('\0') != std::string::npos) {
      errors.push_back(Where(file, lineNo) + "a UI text cannot hold a NUL character");
    } else if (!IsValidUtf8(text)) {
      errors.push_back(Where(file, lineNo) + "text is not valid UTF-8");
    } else if (text.size() >= static_cast<size_t>(kUiTextSlotBytes)) {
      errors.push_back(Where(file, lineNo) + "text takes " + std::to_string(text.size()) +
                       " bytes of UTF-8; at most " + std::to_string(kUiTextSlotBytes - 1) +
                       " fit with the terminator");
    }
    tables.uiTexts[lang][section] = text;
  }
  for (int k = 0; k < kUiTextCount; ++k) {
    for (int l = 0; l < kLanguageCount; ++l) {
      if (!seen[l][k]) {
        errors.push_back(file + ": [" + std::to_string(k) + "] has no " + kLanguageCodes[l] +
                         " text");
      }
    }
  }
}

void LoadInternalStrings(const std::string &dir, TableSources &tables,
                         std::vector<std::string> &errors) {
  const std::string file = dir + "/internal_strings.txt";
  std::vector<std::string> lines;
  if (!ReadLines(file, lines, errors)) return;
  bool seen[kInternalStringCount] = {};
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string &line = lines[n];
    const int lineNo = static_cast<int>(n) + 1;
    if (IsSkipped(line)) continue;
    std::string key, raw;
    int index;
    if (!SplitAssignment(line, key, raw) || !ParseIndex(key, kInternalStringCount, index)) {
      errors.push_back(Where(file, lineNo) + "expected 'N = text' with N from 0 to 135");
      continue;
    }
    if (seen[index]) {
      errors.push_back(Where(file, lineNo) + "entry " + key + " appears twice");
      continue;
    }
    seen[index] = true;
    bool ascii = true;
    for (unsigned char c : raw) ascii = ascii && c < 0x80;
    std::string text, problem;
    if (!ascii) {
      errors.push_back(Where(file, lineNo) + "raw non-ASCII byte; write it as \\xHH");
    } else if (!Unescape(raw, text, problem)) {
      errors.push_back(Where(file, lineNo) + problem);
    } else if (text.size() >= static_cast<size_t>(kInternalStringSlotBytes)) {
      errors.push_back(Where(file, lineNo) + "entry takes " + std::to_string(text.size()) +
                       " bytes; at most " + std::to_string(kInternalStringSlotBytes - 1) +
                       " fit with the terminator");
    }
    tables.internalStrings[index] = text;
  }
  for (int i = 0; i < kInternalStringCount; ++i) {
    if (!seen[i]) errors.push_back(file + ": entry " + std::to_string(i) + " is missing");
  }
}

void LoadModels(const std::string &dir, TableSources &tables, std::vector<std::string> &errors) {
  const std::string file = dir + "/models.txt";
  std::vector<std::string> lines;
  if (!ReadLines(file, lines, errors)) return;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string &line = lines[n];
    const int lineNo = static_cast<int>(n) + 1;
    if (IsSkipped(line)) continue;
    // CODE FAMILY NAME, NAME being the rest of the line.
    if (line.size() < 8 || line[4] != ' ' || line[6] != ' ' || line[5] < '0' || line[5] > '9') {
      errors.push_back(Where(file, lineNo) + "expected 'CODE FAMILY NAME'");
      continue;
    }
    ModelRow row;
    row.productIdCode = line.substr(0, 4);
    row.family = line[5] - '0';
    row.modelName = line.substr(7);
    row.line = lineNo;
    if (row.modelName.size() > static_cast<size_t>(kModelNameBytes)) {
      errors.push_back(Where(file, lineNo) + "model name longer than 16 characters");
    }
    for (unsigned char c : row.modelName) {
      if (c < 0x20 || c >= 0x80) {
        errors.push_back(Where(file, lineNo) + "model name must be printable ASCII");
        break;
      }
    }
    tables.models.push_back(row);
  }
  if (tables.models.size() != static_cast<size_t>(kModelCount)) {
    errors.push_back(file + ": " + std::to_string(tables.models.size()) + " rows; the table has " +
                     std::to_string(kModelCount));
  }
}

}  // namespace

TableSources LoadTableSources(const std::string &dir, std::vector<std::string> &errors) {
  TableSources tables;
  LoadUiTexts(dir, tables, errors);
  LoadInternalStrings(dir, tables, errors);
  LoadModels(dir, tables, errors);
  return tables;
}
