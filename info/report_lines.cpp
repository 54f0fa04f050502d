// The line grid of the report actions.
#include "info/report_lines.h"

#include <cstring>

void SplitReportLines(const unsigned char *text, size_t n, ReportLineGrid *grid) {
  std::memset(grid, 0, sizeof *grid);
  int line = 0, column = 0;
  size_t p = 0;
  while (p <= n) {
    if (line >= kReportGridLines || column >= kReportGridColumns) break;
    if (p + 1 <= n && text[p] == 0x0D && text[p + 1] == 0x0A) {
      ++line;
      column = 0;
      p += 2;
      // The byte after the pair is stored untested; it must still lie inside the grid.
      if (line >= kReportGridLines || p > n) break;
    }
    grid->entries[line][column] = text[p];
    ++grid->counts[line];
    ++column;
    ++p;
  }
  grid->lineBreaks = line;
}

void FirstWordOfLine(const ReportLineGrid &grid, int line, wchar_t word[kFirstWordUnits]) {
  int length = 0;
  for (int column = 0; column < grid.counts[line] && length < kFirstWordUnits - 1; ++column) {
    const uint16_t entry = grid.entries[line][column];
    if (entry == ' ' || entry == 0x0D || entry == 0x0A || entry == 0) break;
    word[length++] = static_cast<wchar_t>(entry);
  }
  word[length] = 0;
}
