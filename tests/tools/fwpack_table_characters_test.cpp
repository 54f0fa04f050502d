// The package format's characters mirror internal strings the program reads at run time: the
// tool and the program must agree on them, or the program refuses every package the tool builds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/package.h"
#include "table_sources.h"

TEST(PackageCharacters, MirrorTheShippedInternalStrings) {
  std::vector<std::string> errors;
  const TableSources tables = LoadTableSources(KORVEX_TABLES_DIR, errors);
  ASSERT_TRUE(errors.empty()) << errors.front();
  struct Case { int entry; size_t character; unsigned char expected; };
  for (const Case &c : {Case{11, 0, kPackageMagic0}, Case{3, 8, kPackageMagic1},
                        Case{72, 4, kRequiredVersionWildcard}}) {
    const std::string &text = tables.internalStrings[c.entry];
    ASSERT_GT(text.size(), c.character) << "internal string " << c.entry;
    EXPECT_EQ(static_cast<unsigned char>(text[c.character]), c.expected)
        << "internal string " << c.entry << ", character " << c.character;
  }
}
