// The progress of the printers an operation runs on, on standard error. On a terminal each
// printer has a line of its own, kept in place at the bottom and redrawn at most ten times a
// second; messages are written above those lines, never into them. Without a terminal a printer's
// progress is a plain line at every tenth. Every line of a printer starts with its prefix (its id
// when several run), so that lines written from several threads stay apart.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "cli/progress_line.h"

class ProgressBoard {
 public:
  // The board of this run of korvex.
  static ProgressBoard &Shared();

  bool Terminal() const { return terminal_; }
  // A row for a printer's progress; it is drawn once it has a line.
  int AddRow();
  // The row's line now; drawn at once when force is set, else when the last drawing is a tenth
  // of a second old.
  void SetRow(int row, const ProgressLine &line, bool force);
  // The row is done, with the outcome after its line when one is given: it leaves the live rows,
  // and its last line, with everything it told, is written above them, where it stays.
  void EndRow(int row, const std::string &outcome);
  // Lines above the rows (standard error), written whole.
  void Message(const std::string &lines);

 private:
  ProgressBoard();
  // What the terminal is sent to redraw the rows, and to erase them.
  std::string DrawLocked();
  std::string ClearLocked();

  struct Row {
    ProgressLine line;
    bool shown;  // it has a line to show
    bool live;
  };
  std::mutex mutex_;
  bool terminal_;
  std::vector<Row> rows_;
  size_t drawn_ = 0;  // lines of rows drawn below the messages
  std::chrono::steady_clock::time_point lastDrawn_;
};

// The columns of the terminal standard error shows on now; 80 when it does not tell.
int TerminalColumns();
