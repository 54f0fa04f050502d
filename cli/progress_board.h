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

class ProgressBoard {
 public:
  // The board of this run of korvex.
  static ProgressBoard &Shared();

  bool Terminal() const { return terminal_; }
  // A row for a printer's progress; it is drawn once it has text.
  int AddRow();
  // The row's text now; drawn at once when force is set, else when the last drawing is a tenth
  // of a second old.
  void SetRow(int row, const std::string &text, bool force);
  // The row is done: its last text stays where it stands.
  void EndRow(int row);
  // Lines above the rows (standard error), written whole.
  void Message(const std::string &lines);

 private:
  ProgressBoard();
  void DrawLocked();
  void ClearLocked();

  struct Row {
    std::string text;
    bool live;
  };
  std::mutex mutex_;
  bool terminal_;
  std::vector<Row> rows_;
  size_t drawn_ = 0;  // lines of rows drawn below the messages
  std::chrono::steady_clock::time_point lastDrawn_;
};
