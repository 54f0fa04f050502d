// The line grid of the report actions (no Windows headers): the UTF-8 form of the pane text
// split at CR LF into at most 256 lines of at most 256 bytes, and the tests made on it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kReportGridLines = 256;
constexpr int kReportGridColumns = 256;
constexpr int kFirstWordUnits = 128;  // 127 bytes and the terminator

struct ReportLineGrid {
  uint16_t entries[kReportGridLines][kReportGridColumns];  // one UTF-8 byte each
  uint8_t counts[kReportGridLines];   // bytes stored in each line (256 wraps to 0)
  int lineBreaks;                     // the final line index
};

// Splits text[0..n] (the terminating zero at n included) into the grid. A CR LF pair is
// consumed unstored and the byte after it is stored untested, so two pairs in a row make one
// line break. Splitting stops before anything would be stored outside the grid.
void SplitReportLines(const unsigned char *text, size_t n, ReportLineGrid *grid);

// The first word of a line: its entries up to the first space, CR, LF or zero, each one unit,
// cut to 127 so that it fits its buffer with the terminator.
void FirstWordOfLine(const ReportLineGrid &grid, int line, wchar_t word[kFirstWordUnits]);
