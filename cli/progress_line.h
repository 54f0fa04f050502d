// A printer's progress line, kept in its parts so that it can be fitted to the terminal's width
// at each drawing: the window may be narrowed while korvex runs, and a line the terminal wraps
// throws the board's cursor arithmetic out (it counts one line per row).
#pragma once

#include <cstddef>
#include <string>

struct ProgressLine {
  std::string prefix;   // the printer's id and ": " when several run; may be empty
  std::string label;    // "Check", "Transfer"
  double fraction = 0;  // of the bar
  int percent = 0;
  std::string amount;   // "1.6 MiB of 3.8 MiB", "part 2 of 3"
  std::string rate;     // "500 KiB/s"; empty before there is one
  std::string left;     // "0:05 left"; empty when nothing is left or not known
  std::string outcome;  // "FAILED after firmware reached it", once the row has ended that way
};

// The line in at most maxColumns columns (code points). What goes first when it does not fit:
// the time left, then the rate, then the bar shrinks and goes, then the amount (the bar may come
// back in the room it leaves), then the label; the prefix, the percentage and the outcome stay
// until the line has to be cut short.
std::string FitProgressLine(const ProgressLine &line, size_t maxColumns);

// The line of a row that has ended, written once above the live rows and never redrawn, so the
// terminal may wrap it: only what can go without losing a fact goes to make it fit (the time
// left, the rate, the bar); the amount, the label and the outcome always stay.
std::string FinalProgressLine(const ProgressLine &line, size_t maxColumns);

// Columns of a UTF-8 text, taken as one per code point.
size_t Columns(const std::string &utf8);
// The text's first columns code points, never cutting one of them in two.
std::string FirstColumns(const std::string &utf8, size_t columns);
