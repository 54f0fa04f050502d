// A small terminal for korvex's end-to-end tests: enough of a VT100 to replay what korvex wrote
// to its standard error on a pty and to see what a person would be left looking at. Printable
// characters with auto-wrap at the width (the cursor waits in the last column, as xterm's does),
// CR, LF, and the CSI sequences A B E F G K J. The screen keeps every line that scrolled off the
// top, and the cursor moves up no further than the first line ever written.
#pragma once

#include <string>
#include <vector>

namespace cli_test {

class TerminalScreen {
 public:
  explicit TerminalScreen(int columns);

  // A narrower or wider window from here on; what is already shown stays as it is (no reflow).
  void Resize(int columns);
  void Feed(const std::string &bytes);

  // The lines shown, from the first ever written; a line the terminal wrapped is joined with
  // its continuation, and spaces at the ends of lines are dropped.
  std::vector<std::string> Lines() const;
  // Lines that were wider than the terminal, so that it wrapped them, and that the cursor later
  // went back up to (or above) in order to write over them: a program that redraws rows in
  // place counting one line per row when one took two.
  const std::vector<std::string> &WrappedThenRedrawn() const { return wrappedThenRedrawn_; }
  // Escape sequences this terminal does not play; a test fails on any, rather than trusting a
  // screen it may have got wrong.
  const std::vector<std::string> &Unknown() const { return unknown_; }
  // How often the cursor went up: each redraw of the rows does it once.
  int MovesUp() const { return movesUp_; }

 private:
  struct Line {
    std::vector<std::string> cells;  // one code point each
    bool continued = false;          // the terminal wrapped the line above into this one
  };

  void Put(const std::string &character);
  void LineFeed();
  void MoveUp(int count);
  void Sequence(const std::string &parameters, char final);
  Line &Current();

  int columns_;
  std::vector<Line> lines_;
  int row_ = 0, column_ = 0;
  bool pendingWrap_ = false;
  std::vector<int> wrappedRows_;  // rows the terminal wrapped, not yet gone back over
  std::vector<std::string> wrappedThenRedrawn_;
  std::vector<std::string> unknown_;
  int movesUp_ = 0;
  std::string pending_;  // a sequence or a UTF-8 character not yet whole
};

}  // namespace cli_test
