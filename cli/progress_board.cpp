// The printers' progress on standard error.
#include "cli/progress_board.h"

#include "cli/console.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressBoard &ProgressBoard::Shared() {
  static ProgressBoard board;
  return board;
}

ProgressBoard::ProgressBoard()
    : terminal_(IsTerminal(stderr)),
      lastDrawn_(std::chrono::steady_clock::now() - kRedrawInterval) {}

int ProgressBoard::AddRow() {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back({std::string(), true});
  return static_cast<int>(rows_.size()) - 1;
}

void ProgressBoard::SetRow(int row, const std::string &text, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  rows_[row].text = text;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  DrawLocked();
}

void ProgressBoard::EndRow(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  rows_[row].live = false;
  DrawLocked();
  // Once no row is live, what is drawn stays as it is and later lines go below it.
  for (const Row &each : rows_) {
    if (each.live) return;
  }
  rows_.clear();
  drawn_ = 0;
}

void ProgressBoard::Message(const std::string &lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLocked();
  Err(lines);
  DrawLocked();
}

// Back to the first row's line, and everything from there on erased.
void ProgressBoard::ClearLocked() {
  if (!terminal_ || drawn_ == 0) return;
  Err("\x1b[" + std::to_string(drawn_) + "F\x1b[J");
  drawn_ = 0;
}

void ProgressBoard::DrawLocked() {
  if (!terminal_) return;
  std::string screen;
  if (drawn_ > 0) screen = "\x1b[" + std::to_string(drawn_) + "F";
  size_t lines = 0;
  for (const Row &row : rows_) {
    if (row.text.empty()) continue;
    screen += "\r" + row.text + "\x1b[K\n";
    ++lines;
  }
  if (lines < drawn_) screen += "\x1b[J";
  drawn_ = lines;
  if (!screen.empty()) Err(screen);
}
