// CheckUiTexts: the shipped texts pass, and each rule, broken in a copy, is reported.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "table_sources.h"

namespace {

const TableSources &ShippedTables() {
  static const TableSources tables = [] {
    std::vector<std::string> errors;
    TableSources t = LoadTableSources(KORVEX_TABLES_DIR, errors);
    for (const std::string &e : errors) {
      if (e.find("ui_texts.txt") != std::string::npos) ADD_FAILURE() << e;
    }
    return t;
  }();
  return tables;
}

std::string Joined(const std::vector<std::string> &messages) {
  std::string out;
  for (const std::string &m : messages) out += m + "\n";
  return out;
}

TEST(UiTextChecks, ShippedTextsPass) {
  std::vector<std::string> errors;
  CheckUiTexts(ShippedTables(), errors);
  EXPECT_TRUE(errors.empty()) << Joined(errors);
}

struct Case {
  const char *what;
  int lang;  // 0 ru, 1 en, 2 pt, 3 zh
  int text;
  std::string value;
  std::string expected;  // part of the message; empty when no message may name the text
  int internal = -1;     // an internal string changed along with the text
  const char *internalValue = "";
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.what; }

class BrokenRule : public testing::TestWithParam<Case> {};

TEST_P(BrokenRule, IsReportedForThatText) {
  const Case &c = GetParam();
  TableSources tables = ShippedTables();
  tables.uiTexts[c.lang][c.text] = c.value;
  if (c.internal >= 0) tables.internalStrings[c.internal] = c.internalValue;
  std::vector<std::string> errors;
  CheckUiTexts(tables, errors);

  const std::string prefix =
      "UI text " + std::to_string(c.text) + " (" + kLanguageCodes[c.lang] + "): ";
  bool found = false;
  for (const std::string &e : errors) {
    found = found || (e.rfind(prefix, 0) == 0 && e.find(c.expected) != std::string::npos);
  }
  if (c.expected.empty()) {
    EXPECT_FALSE(found) << Joined(errors);
  } else {
    EXPECT_TRUE(found) << "expected " << prefix << "..." << c.expected << "\ngot:\n"
                       << Joined(errors);
  }
}

const Case kCases[] = {
    {"EmptyButton", 3, 13, "", "is empty"},

    // Line structure.
    {"PickedTextTooShort", 1, 31, "No answer.\r\nTry again.", "needs at least 3 lines, has 2"},
    {"PickedLineEmpty", 2, 31, "Sem resposta.\r\nDados.\r\n", "line 3 is picked"},
    {"LoneLf", 0, 33, "Продолжить?\nДа", "LF without CR"},
    {"LoneCr", 1, 25, "Checking\rfile", "CR without LF"},
    {"BreakInMenuItem", 1, 2, "Ex\r\nit", "must be a single line"},
    {"TabInTooltip", 1, 15, "Open\treport", "control character 9"},
    {"HeadingTooTall", 1, 12, "A\r\nB\r\nC\r\nD\r\nE\r\nF\r\nG\r\nH", "has 8 lines"},

    // Percent signs: no UI text is a format.
    {"ConversionInBox", 1, 36, "Close %s?", "conversion \"%s\""},
    {"EscapedPercentInBox", 1, 18, "Disk 100%% full", "conversion \"%%\""},
    {"FullConversion", 0, 33, "Файл %-08.3ls?", "conversion \"%-08.3ls\""},
    {"PercentSignInBox", 1, 18, "The disk is 100% full.", ""},
    {"PercentSignInPhrase", 1, 28, "50% sent", "stray '%'"},

    // Ampersands.
    {"AmpersandInMenuAndBox", 1, 4, "&About", "must not contain '&'"},
    {"MnemonicInMenuAndNotice", 1, 3, "&Settings", "would not be shown"},
    {"MnemonicInMenuOnly", 1, 2, "E&xit", ""},
    {"TwoMnemonics", 1, 1, "&Fi&le", "has 2 mnemonics"},
    {"LostAmpersandInTooltip", 1, 15, "Open & view", "would not be shown"},

    // Sizes.
    {"LongButton", 2, 14, "Atualizar o firmware da impressora agora", "too long for its button"},
    {"WideHeadingLine", 0, 11, "Сведения о принтере", "line of the heading label"},
    {"LongPaneLine", 1, 34,
     "On this model the upgrade may take several minutes, and the display may stay dark all the "
     "time.",
     "line of the information pane"},

    // Phrases inside composed texts.
    {"PhraseWithOuterSpace", 1, 20, "Done ", "must not begin or end with white space"},
    {"AboutTooLong", 1, 5, std::string(140, 'x'),
     "About text (internal string 132) 145 characters long", 132, "%s %s"},
    {"PhraseRunsIntoNumber", 1, 28, "Sent", "runs into the text after it in the progress line", 124,
     "%s%s%u of %u"},
    {"DoubledPunctuation", 1, 22, "Error.", "doubles the punctuation after it", 132, "%s: %s"},
    {"PaneTextRunsIntoFailureLine", 1, 25, "Preparing the upgrade", "runs into the text after it",
     135, "%s%s%s"},
    {"PhraseRunsIntoTextBefore", 2, 20, "Concluído", "runs into the text before it", 125,
     "%s\r\n%s: %u of %u bytes%s"},
    {"ChineseNeedsNoSpaceBeforeNumber", 3, 28, "传输", "", 124, "%s\r\n%s%u / %u"},
};

INSTANTIATE_TEST_SUITE_P(UiTextChecks, BrokenRule, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.what);
                         });

}  // namespace
