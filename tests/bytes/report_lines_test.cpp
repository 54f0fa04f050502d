// The report's line grid: where the lines break and what the first words are.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "info/report_lines.h"

namespace {

std::unique_ptr<ReportLineGrid> Split(const std::string &text) {
  auto grid = std::make_unique<ReportLineGrid>();
  SplitReportLines(reinterpret_cast<const unsigned char *>(text.c_str()), text.size(), grid.get());
  return grid;
}

std::wstring FirstWord(const ReportLineGrid &grid, int line) {
  wchar_t word[kFirstWordUnits];
  FirstWordOfLine(grid, line, word);
  return word;
}

const std::string kReport =
    "KL-1220dnw (4B56002B)\r\nV1.02.a (firmware)\r\nKX12AB34CD (product code)\r\n"
    "00:1b:4b:56:a0:ff (MAC address)\r\n128 MB (memory)\r\nKorvex OS 4.2 (version)\r\n"
    "0102030A-0123456789ABCDEF0123456789ABCDEF (device code)";

TEST(ReportLines, CompleteTextHasSixBreaksAndTheSeparatorAtByte8OfLine7) {
  auto grid = Split(kReport);
  EXPECT_EQ(grid->lineBreaks, 6);
  EXPECT_EQ(grid->entries[6][8], '-');
  EXPECT_EQ(grid->counts[0], 21) << "the CR LF pair is not stored";
  EXPECT_EQ(grid->counts[6], 56) << "the last line keeps the terminator";
  EXPECT_EQ(FirstWord(*grid, 0), L"KL-1220dnw");
  EXPECT_EQ(FirstWord(*grid, 2), L"KX12AB34CD");
}

TEST(ReportLines, BreaksAreCountedAsTheGridSplitsThem) {
  EXPECT_EQ(Split("")->lineBreaks, 0);
  EXPECT_EQ(Split("a\r\nb")->lineBreaks, 1);
  EXPECT_EQ(Split("a\nb\rc")->lineBreaks, 0) << "only CR LF pairs break lines";
  // Two pairs in a row make one break; the second pair starts the next line.
  auto grid = Split("a\r\n\r\nb");
  EXPECT_EQ(grid->lineBreaks, 1);
  EXPECT_EQ(grid->entries[1][0], '\r');
  EXPECT_EQ(grid->entries[1][1], '\n');
  EXPECT_EQ(grid->entries[1][2], 'b');
  // A text with an empty line is one break short of what it looks like.
  std::string sevenLooking = "1\r\n2\r\n3\r\n\r\n5\r\n6\r\n7";
  EXPECT_EQ(Split(sevenLooking)->lineBreaks, 5);
}

TEST(ReportLines, SplittingStopsAtTheEdgeOfTheGrid) {
  std::string manyLines;
  for (int i = 0; i < 400; ++i) manyLines += "x\r\n";
  EXPECT_GE(Split(manyLines)->lineBreaks, 255);
  std::string longLine(1000, 'y');
  auto grid = Split(longLine + "\r\nz");
  EXPECT_EQ(grid->lineBreaks, 0) << "the long first line fills the grid's row and stops it";
  EXPECT_EQ(grid->entries[0][255], 'y');
}

TEST(ReportLines, FirstWordsKeepEveryUtf8ByteAndFitTheirBuffer) {
  auto grid = Split("\xC3\xA9t\xC3\xA9 x\r\nb\r\n" + std::string(200, 'w'));
  EXPECT_EQ(FirstWord(*grid, 0), (std::wstring{0xC3, 0xA9, L't', 0xC3, 0xA9}));
  EXPECT_EQ(FirstWord(*grid, 2).size(), 127u) << "cut to the 128-unit buffer";
  EXPECT_EQ(FirstWord(*grid, 5), L"") << "a line that does not exist";
}

}  // namespace
