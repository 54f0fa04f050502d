// Picking numbered lines of a multi-line text into a failure detail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/pick_lines.h"

namespace {

// Picks into a zeroed buffer of outputUnits units with one guard unit after it, which must stay
// untouched; returns the text up to the caller's terminator.
std::wstring Pick(const std::wstring &source, std::vector<unsigned char> numbers,
                  size_t outputUnits = 500) {
  numbers.push_back(0);
  std::vector<wchar_t> output(outputUnits + 1, 0);
  output[outputUnits] = L'#';
  EXPECT_EQ(PickLines(source.c_str(), output.data(), outputUnits, numbers.data()), 0);
  EXPECT_EQ(output[outputUnits], L'#') << "written past the buffer";
  if (outputUnits > 0) {
    EXPECT_EQ(output[outputUnits - 1], 0) << "the terminator was overwritten";
  }
  return std::wstring(output.data());
}

TEST(PickLines, PicksTheNumberedLinesInListOrder) {
  const std::wstring four = L"L1\r\nL2\r\nL3\r\nL4";
  struct Case {
    const wchar_t *source;
    std::vector<unsigned char> numbers;
    const wchar_t *picked;
  } cases[] = {
      {four.c_str(), {1, 3}, L"L1\r\nL3\r\n"},
      {four.c_str(), {1}, L"L1\r\n"},
      {four.c_str(), {4, 2, 4}, L"L4\r\nL2\r\nL4\r\n"},
      {four.c_str(), {}, L""},
      {L"only", {2}, L"\r\n"},                 // past the last line: CR LF alone
      {L"only", {1, 255}, L"only\r\n\r\n"},
      {L"a\rb\rc", {3, 2}, L"c\r\nb\r\n"},     // CR alone ends a line too
      {L"a\nb\r\nc", {1, 2}, L"ab\r\nc\r\n"},  // LF is dropped wherever it stands
      {L"\r\r\rx", {4, 1}, L"x\r\n\r\n"},      // empty lines are lines
      {L"", {1}, L"\r\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Pick(c.source, c.numbers), c.picked) << "source " << testing::PrintToString(
        std::wstring(c.source));
  }
}

TEST(PickLines, ReadsNoMoreThan500UnitsOfTheSource) {
  // 499 units, a CR at 500, then a second line that lies beyond the slot.
  std::wstring source(499, L'x');
  source += L"\rbeyond";
  EXPECT_EQ(Pick(source, {1}, 600), std::wstring(499, L'x') + L"\r\n");
  EXPECT_EQ(Pick(source, {2}, 600), L"\r\n");
}

TEST(PickLines, OutputIsCutAtTheBufferInsteadOfRunningPastIt) {
  // The same long line picked three times would need 1,206 units of a 500-unit buffer.
  const std::wstring line(400, L'z');
  const std::wstring picked = Pick(line + L"\r\nshort", {1, 1, 1});
  ASSERT_EQ(picked.size(), 499u);
  EXPECT_EQ(picked.substr(0, 402), line + L"\r\n");
  EXPECT_EQ(picked.substr(402, 97), std::wstring(97, L'z'));
  // Tiny buffers: one unit holds only the terminator.
  EXPECT_EQ(Pick(L"abc", {1}, 1), L"");
  EXPECT_EQ(Pick(L"abc", {1}, 3), L"ab");
}

TEST(PickLines, ManyNumbersAndManyLinesStayWithinTheirLimits) {
  // Line 255, the highest a number byte can name, after 254 empty ones; a source made only of
  // line breaks, more of them than there are line numbers.
  EXPECT_EQ(Pick(std::wstring(254, L'\r') + L"tail", {255, 200}), L"tail\r\n\r\n");
  EXPECT_EQ(Pick(std::wstring(500, L'\r'), {255}), L"\r\n");
  // A list longer than 500 entries is read up to its 500th.
  std::vector<unsigned char> numbers(700, 1);
  EXPECT_EQ(Pick(L"a", numbers, 2000).size(), 500u * 3);
}

}  // namespace
