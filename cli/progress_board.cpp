// The printers' progress on standard error.
#include "cli/progress_board.h"

#include "cli/console.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kAssumedColumns = 80;

// The columns a line may take: one short of the terminal's width, since some terminals wrap as
// soon as the last column is written.
size_t Room() {
  const int columns = TerminalColumns();
  return columns > 1 ? static_cast<size_t>(columns - 1) : 0;
}

}  // namespace

int TerminalColumns() {
  int columns = 0;
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    // The console wraps at its buffer's width; a window narrower than that would hide the end.
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (info.dwSize.X < columns) columns = info.dwSize.X;
  }
#else
  struct winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) columns = size.ws_col;
#endif
  return columns > 0 ? columns : kAssumedColumns;
}

ProgressBoard &ProgressBoard::Shared() {
  static ProgressBoard board;
  return board;
}

ProgressBoard::ProgressBoard()
    : terminal_(IsTerminal(stderr)),
      lastDrawn_(std::chrono::steady_clock::now() - kRedrawInterval) {}

int ProgressBoard::AddRow() {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back({ProgressLine(), false, true});
  return static_cast<int>(rows_.size()) - 1;
}

void ProgressBoard::SetRow(int row, const ProgressLine &line, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  rows_[row].line = line;
  rows_[row].shown = true;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  Err(DrawLocked());
}

// An ended row goes up among the messages rather than staying in place: there it is never
// redrawn, so its outcome never has to be cut to the width, and a terminal narrowed later cannot
// leave it half drawn.
void ProgressBoard::EndRow(int row, const std::string &outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size()) || !rows_[row].live) return;
  Row &ended = rows_[row];
  ended.live = false;
  ended.line.outcome = outcome;
  std::string screen = ClearLocked();
  if (ended.shown) screen += FinalProgressLine(ended.line, Room()) + "\n";
  screen += DrawLocked();
  Err(screen);
  for (const Row &each : rows_) {
    if (each.live) return;
  }
  rows_.clear();
}

void ProgressBoard::Message(const std::string &lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  Err(ClearLocked() + lines + DrawLocked());
}

// Back to the first row's line, and everything from there on erased. Every row drawn is one
// line of the terminal, since none was as wide as it. Should the window have been narrowed
// since, a terminal that reflows its lines has made several of a row, and their upper part stays
// behind above the redrawn rows; going up further instead would erase messages on a terminal
// that cuts its lines rather than reflow them.
std::string ProgressBoard::ClearLocked() {
  if (!terminal_ || drawn_ == 0) return std::string();
  const std::string screen = "\x1b[" + std::to_string(drawn_) + "F\x1b[J";
  drawn_ = 0;
  return screen;
}

// The rows, each fitted to the terminal's width as it is now: the window may have been resized
// since the last drawing.
std::string ProgressBoard::DrawLocked() {
  if (!terminal_) return std::string();
  const size_t room = Room();
  std::string screen;
  if (drawn_ > 0) screen = "\x1b[" + std::to_string(drawn_) + "F";
  size_t lines = 0;
  for (const Row &row : rows_) {
    if (!row.live || !row.shown) continue;
    screen += "\r" + FitProgressLine(row.line, room) + "\x1b[K\n";
    ++lines;
  }
  if (lines < drawn_) screen += "\x1b[J";
  drawn_ = lines;
  return screen;
}
