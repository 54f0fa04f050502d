// The tests' small terminal.
#include "terminal_screen.h"

#include <algorithm>
#include <cstdlib>

namespace cli_test {

namespace {

// The bytes of a UTF-8 character from its first one; 1 for a byte that starts none.
size_t CharacterLength(unsigned char first) {
  if (first >= 0xF0 && first < 0xF8) return 4;
  if (first >= 0xE0) return first < 0xF0 ? 3 : 1;
  if (first >= 0xC0) return 2;
  return 1;
}

std::string Text(const std::vector<std::string> &cells) {
  std::string text;
  for (const std::string &cell : cells) text += cell;
  return text;
}

}  // namespace

TerminalScreen::TerminalScreen(int columns) : columns_(columns), lines_(1) {}

void TerminalScreen::Resize(int columns) {
  columns_ = columns;
  pendingWrap_ = false;
  if (column_ >= columns_) column_ = columns_ - 1;
}

TerminalScreen::Line &TerminalScreen::Current() {
  while (static_cast<int>(lines_.size()) <= row_) lines_.emplace_back();
  return lines_[row_];
}

void TerminalScreen::Put(const std::string &character) {
  if (pendingWrap_) {
    wrappedRows_.push_back(row_);
    LineFeed();
    column_ = 0;
    Current().continued = true;
  }
  std::vector<std::string> &cells = Current().cells;
  if (static_cast<int>(cells.size()) <= column_) cells.resize(column_ + 1, " ");
  cells[column_] = character;
  if (column_ == columns_ - 1) {
    pendingWrap_ = true;
  } else {
    ++column_;
  }
}

void TerminalScreen::LineFeed() {
  pendingWrap_ = false;
  ++row_;
  Current();
}

void TerminalScreen::MoveUp(int count) {
  pendingWrap_ = false;
  row_ = std::max(0, row_ - count);
  ++movesUp_;
  for (auto it = wrappedRows_.begin(); it != wrappedRows_.end();) {
    if (*it >= row_) {
      std::string text = Text(lines_[*it].cells);
      if (*it + 1 < static_cast<int>(lines_.size())) text += Text(lines_[*it + 1].cells);
      wrappedThenRedrawn_.push_back(text);
      it = wrappedRows_.erase(it);
    } else {
      ++it;
    }
  }
}

void TerminalScreen::Sequence(const std::string &parameters, char final) {
  const bool numeric = std::all_of(parameters.begin(), parameters.end(),
                                   [](char c) { return c >= '0' && c <= '9'; });
  if (!numeric) {
    unknown_.push_back("ESC[" + parameters + final);
    return;
  }
  const int number = parameters.empty() ? 0 : std::atoi(parameters.c_str());
  const int count = number == 0 ? 1 : number;
  std::vector<std::string> &cells = Current().cells;
  switch (final) {
    case 'A':
      MoveUp(count);
      break;
    case 'F':
      MoveUp(count);
      column_ = 0;
      break;
    case 'B':
    case 'E':
      for (int i = 0; i < count; ++i) LineFeed();
      if (final == 'E') column_ = 0;
      break;
    case 'G':
      pendingWrap_ = false;
      column_ = std::min(count, columns_) - 1;
      break;
    case 'K':
      if (number == 0) {
        if (static_cast<int>(cells.size()) > column_) cells.resize(column_);
      } else if (number == 1) {
        for (int i = 0; i <= column_ && i < static_cast<int>(cells.size()); ++i) cells[i] = " ";
      } else if (number == 2) {
        cells.clear();
      } else {
        unknown_.push_back("ESC[" + parameters + final);
      }
      if (number == 2 || (number == 0 && column_ == 0)) Current().continued = false;
      break;
    case 'J':
      if (number != 0) {
        unknown_.push_back("ESC[" + parameters + final);
        break;
      }
      if (static_cast<int>(cells.size()) > column_) cells.resize(column_);
      if (column_ == 0) Current().continued = false;
      lines_.resize(row_ + 1);
      break;
    default:
      unknown_.push_back("ESC[" + parameters + final);
  }
}

void TerminalScreen::Feed(const std::string &bytes) {
  pending_ += bytes;
  size_t at = 0;
  while (at < pending_.size()) {
    const unsigned char c = static_cast<unsigned char>(pending_[at]);
    if (c == 0x1B) {
      if (at + 1 >= pending_.size()) break;
      if (pending_[at + 1] != '[') {
        unknown_.push_back(std::string("ESC ") + pending_[at + 1]);
        at += 2;
        continue;
      }
      size_t end = at + 2;
      while (end < pending_.size() && (pending_[end] < 0x40 || pending_[end] > 0x7E)) ++end;
      if (end >= pending_.size()) break;
      Sequence(pending_.substr(at + 2, end - at - 2), pending_[end]);
      at = end + 1;
    } else if (c == '\r') {
      pendingWrap_ = false;
      column_ = 0;
      ++at;
    } else if (c == '\n') {
      LineFeed();
      ++at;
    } else if (c < 0x20 || c == 0x7F) {
      unknown_.push_back("control " + std::to_string(c));
      ++at;
    } else {
      const size_t length = CharacterLength(c);
      if (at + length > pending_.size()) break;
      Put(pending_.substr(at, length));
      at += length;
    }
  }
  pending_.erase(0, at);
}

std::vector<std::string> TerminalScreen::Lines() const {
  std::vector<std::string> lines;
  for (const Line &line : lines_) {
    if (line.continued && !lines.empty()) {
      lines.back() += Text(line.cells);
    } else {
      lines.push_back(Text(line.cells));
    }
  }
  for (std::string &line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

}  // namespace cli_test
