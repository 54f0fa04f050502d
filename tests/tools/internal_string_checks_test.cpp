// The internal strings and the model table as shipped pass every rule; a copy with one rule
// broken is refused with a message naming what broke.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "table_sources.h"

namespace {

using Mutation = std::function<void(TableSources &)>;

const TableSources &Shipped() {
  static const TableSources tables = [] {
    std::vector<std::string> errors;
    return LoadTableSources(KORVEX_TABLES_DIR, errors);
  }();
  return tables;
}

std::vector<std::string> Problems(const TableSources &tables) {
  std::vector<std::string> errors;
  CheckInternalStrings(tables, errors);
  CheckModelTable(tables, errors);
  return errors;
}

std::string Joined(const std::vector<std::string> &lines) {
  std::string all;
  for (const std::string &line : lines) all += line + "\n";
  return all;
}

Mutation Set(int entry, const std::string &text) {
  return [=](TableSources &t) { t.internalStrings[entry] = text; };
}

Mutation SetRow(size_t index, const std::string &code, int family, const std::string &name) {
  return [=](TableSources &t) {
    t.models[index].productIdCode = code;
    t.models[index].family = family;
    t.models[index].modelName = name;
  };
}

TEST(InternalStringChecks, ShippedSourcesLoadAndPass) {
  std::vector<std::string> loadErrors;
  const TableSources tables = LoadTableSources(KORVEX_TABLES_DIR, loadErrors);
  EXPECT_TRUE(loadErrors.empty()) << Joined(loadErrors);
  EXPECT_EQ(tables.models.size(), static_cast<size_t>(kModelCount));
  const std::vector<std::string> problems = Problems(tables);
  EXPECT_TRUE(problems.empty()) << Joined(problems);
}

// Forms that wsprintfW reads as the same arguments are accepted.
TEST(InternalStringChecks, AcceptsEquivalentConversions) {
  const std::vector<std::pair<int, std::string>> variants = {
      {133, "%-20.16ls (%ws)"},
      {124, "%s\r\n%s: %lu of %u bytes (100%%)"},
      {110, "%lc%wc%c%c%c%c%c%lC"},
      {111, "%02hX%02lx%02u%02X"},
      {112, "%08lX"},
  };
  for (const auto &v : variants) {
    TableSources t = Shipped();
    t.internalStrings[v.first] = v.second;
    const std::vector<std::string> problems = Problems(t);
    EXPECT_TRUE(problems.empty()) << v.second << "\n" << Joined(problems);
  }
}

struct BrokenCase {
  const char *what;
  Mutation mutate;
  const char *expected;  // part of one message
};

TEST(InternalStringChecks, EachBrokenRuleIsReported) {
  const std::vector<BrokenCase> cases = {
      // Argument lists.
      {"one argument short", Set(133, "%s"),
       "internal string 133: needs 2 argument(s) (model name, device id), has 1"},
      {"number for a string", Set(121, "%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%d"),
       "argument 7 (device code) needs a UTF-16 string"},
      {"single-byte string", Set(130, "%S done"),
       "internal string 130: argument 1 (pane text) needs a UTF-16 string"},
      {"single-byte character", Set(110, "%c%c%c%c%c%c%c%hc"),
       "argument 8 (product digit 4) needs a UTF-16 character"},
      {"count not in decimal", Set(124, "%s\r\n%s: %X of %u"),
       "argument 3 (bytes sent) needs an unsigned 32-bit number in decimal"},
      {"16-bit model number", Set(112, "%08hX"),
       "internal string 112: argument 1 (model number) needs a full 32-bit number"},
      {"width from an argument", Set(111, "%02X%02X%02X%*X"),
       "\"%*\" is not a conversion wsprintfW understands"},
      {"unsupported flag", Set(113, "%+u"), "internal string 113: \"%+\" is not a conversion"},
      {"trailing percent", Set(135, "%s\r\n%s%s%"),
       "internal string 135: ends inside the conversion"},
      {"placeholder with argument", Set(71, "%s"),
       "internal string 71: needs 0 argument(s), has 1"},
      // Texts read whole or at fixed positions.
      {"detail text not empty", Set(0, "-"), "internal string 0: must be empty"},
      {"theme name", Set(1, "Explorer"), "internal string 1: must be blank"},
      {"face name too short", Set(3, "Tahoma"), "internal string 3: needs at least 9 characters"},
      {"extension with dot", Set(8, ".txt"), "internal string 8"},
      {"filter not closed", Set(9, std::string("Text (*.txt)\0*.txt", 18)),
       "internal string 9: a dialog filter must end"},
      {"filter without pair", Set(10, std::string("Firmware\0", 9)),
       "internal string 10: a dialog filter needs"},
      {"key path", Set(11, "Software\\\\Korvex"), "internal string 11: a registry key path"},
      {"saved language", Set(37, "pt"), "internal string 37: must be \"2\""},
      {"same menu caption", Set(22, "Level 0"), "internal string 22: repeats the caption"},
      {"short boot notice", Set(40, "Boot"), "internal string 40: needs at least 9"},
      {"empty failure text", Set(97, ""), "internal string 97: is empty"},
      {"lower-case device id", Set(42, "4b56b001"), "internal string 42: a device id"},
      {"maker as boot vendor", Set(46, "4B56"),
       "internal string 46: names the maker's own vendor id"},
      {"upper-case pattern", Set(50, "id_4B56&pid_"),
       "internal string 50: device paths are lowered"},
      {"pattern misses the pipes", Set(50, "vid_4b56&pid_"),
       "a printer of the maker's own vendor id, 4B560042, is not admitted on the simulator's pipe "
       "path"},
      {"boot vendor not admitted", Set(53, "id_4b53&pid_"),
       "the vendor of internal string 47, 4B520001, is not admitted on any path"},
      {"empty rejecting pattern", Set(55, ""), "internal string 55: an empty pattern rejects"},
      {"other GUID", Set(59, "a5dcbf10-6530-11d2-901f-00c04fb951ed"), "internal string 59"},
      {"category prefix length", Set(61, "KL"),
       "internal string 61: a model-category prefix of exactly 3"},
      {"digit table", Set(70, "0123456789ABCDFE"), "internal string 70: character 14"},
      {"long placeholder", Set(71, "none!"), "internal string 71: the placeholder fills"},
      {"separator is a digit", Set(72, "078P*{}"), "internal string 72: character 0"},
      {"product-date key unmatchable", Set(72, "-7_P*{}"),
       "internal string 72: character 2 is compared"},
      {"wildcard is a digit", Set(72, "-78P1{}"), "internal string 72: character 4"},
      {"GUID delimiters", Set(72, "-78P*#}"), "characters 5 and 6 ('#', '}')"},
      {"lone line feed", Set(116, "%s\n%s"), "internal string 116: a line break must be CR LF"},
      {"stray NUL", Set(41, std::string("Not\0supported", 13)), "internal string 41: holds a NUL"},
      // The formats tried together.
      {"device id with text", Set(110, "%c%c%c%c-%c%c%c%c"),
       "internal string 110: must yield the 8 characters alone"},
      {"short model code", Set(112, "%X"),
       "internal strings 112 and 121: with the model code \"0\""},
      {"labelled code line", Set(121, "%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\nCode %s"),
       "internal strings 111 and 121"},
      {"six lines", Set(121, "%s\r\n%s\r\n%s %s\r\n%s\r\n%s\r\n%s"),
       "internal string 121: the final text has 5 CR LF"},
      {"placeholder passes", Set(121, "%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s\r\n%s--------"),
       "internal string 71: as the device code"},
      {"file name with colon", Set(126, "%s: %s_%s_%s"),
       "internal string 126: the default report file name"},
      {"memory with unit", Set(113, "%u MB"), "internal string 113: a memory size of 9999"},
      {"path copy decorated", Set(128, "%s."),
       "internal string 128: must copy its argument unchanged"},
      {"unknown without U", Set(134, "%s (unknown)"),
       "internal string 134: the display name of an unknown model must begin"},
      {"known with U", Set(133, "Unit %s (%s)"),
       "internal string 133: the display name of a known model must not"},
      {"long About text", [](TableSources &t) { t.uiTexts[2][5] = std::string(128, 'a'); },
       "internal string 132: the About text in pt has 134"},
      // Model rows.
      {"row count", [](TableSources &t) { t.models.pop_back(); }, "models.txt: 160 rows"},
      {"family 3", SetRow(5, "0777", 3, "KX-1"), "\"KX-1\": family 3"},
      {"lower-case code", SetRow(5, "07a7", 2, "KX-1"), "\"KX-1\": the code must be 4 upper-case"},
      {"duplicate code",
       [](TableSources &t) { t.models[9].productIdCode = t.models[8].productIdCode; },
       "this row is never reached"},
      {"name with U", SetRow(5, "0777", 2, "Ultra 5"),
       "\"Ultra 5\": the display name begins with \"U\""},
      {"name with slash", SetRow(5, "0777", 2, "KX-1/2"), "the name holds '/'"},
      {"name with ampersand", SetRow(5, "0777", 2, "K&X"), "the name holds '&'"},
      {"rejected code", SetRow(5, "FFFF", 2, "KX-1"), "internal strings 50-55 do not admit"},
      {"refused boot device", SetRow(5, "B002", 0, "KX Loader"),
       "family 0 makes the firmware-only device 4B56B002"},
      {"prefix names no model", Set(63, "KZZ"),
       "internal string 63: the prefix \"KZZ\" begins no model"},
  };
  for (const BrokenCase &c : cases) {
    TableSources t = Shipped();
    c.mutate(t);
    const std::string problems = Joined(Problems(t));
    EXPECT_NE(problems.find(c.expected), std::string::npos)
        << c.what << ": expected a message with \"" << c.expected << "\", got:\n"
        << problems;
  }
}

// A broken internal string that every row depends on is reported once, not once per row.
TEST(InternalStringChecks, StringsEveryRowNeedsAreReportedOnce) {
  TableSources t = Shipped();
  t.internalStrings[133] = "U %s (%s)";
  t.internalStrings[50] = "";
  int rowMessages = 0;
  for (const std::string &e : Problems(t)) rowMessages += e.rfind("models.txt", 0) == 0;
  EXPECT_EQ(rowMessages, 0) << Joined(Problems(t));
}

TEST(InternalStringChecks, EmptySourcesAreRefused) {
  const std::string problems = Joined(Problems(TableSources()));
  for (const char *expected : {"internal string 35: must be \"0\"", "internal string 40: needs",
                               "internal string 133: needs 2", "models.txt: 0 rows"}) {
    EXPECT_NE(problems.find(expected), std::string::npos) << expected << "\n" << problems;
  }
}

}  // namespace
