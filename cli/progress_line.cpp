// A printer's progress line fitted to a width.
#include "cli/progress_line.h"

#include <algorithm>

namespace {

constexpr size_t kFullBar = 24;
// Narrower than this a bar tells too little to be worth its room.
constexpr size_t kShortestBar = 10;

// Which parts a shape of the line keeps; the bar when kept is as wide as the room allows
// between shortestBar and kFullBar.
struct Shape {
  bool left, rate, amount, label;
  size_t shortestBar;  // 0: no bar
};

// From the whole line to the barest one, in the order the parts are given up.
constexpr Shape kShapes[] = {
    {true, true, true, true, kFullBar},
    {false, true, true, true, kFullBar},
    {false, false, true, true, kShortestBar},
    {false, false, true, true, 0},
    {false, false, false, true, kShortestBar},
    {false, false, false, true, 0},
    {false, false, false, false, kShortestBar},
    {false, false, false, false, 0},
};
// The shapes a row's final line may take: those that keep the amount and the label.
constexpr size_t kFinalShapes = 4;

std::string Compose(const ProgressLine &line, const Shape &shape, size_t bar) {
  std::string text = line.prefix;
  auto add = [&](const std::string &part, const char *separator) {
    if (part.empty()) return;
    if (text.size() > line.prefix.size()) text += separator;
    text += part;
  };
  if (shape.label) add(line.label, "");
  if (bar > 0) {
    std::string cells(bar, '-');
    const double fraction = std::min(std::max(line.fraction, 0.0), 1.0);
    std::fill_n(cells.begin(), static_cast<size_t>(fraction * bar), '#');
    add("[" + cells + "]", " ");
  }
  add(std::to_string(line.percent) + "%", " ");
  if (shape.amount) add(line.amount, "  ");
  if (shape.rate) add(line.rate, "  ");
  if (shape.left) add(line.left, "  ");
  add(line.outcome, "  ");
  return text;
}

// The line in the first of the shapes that fits; the last one's text when none does.
std::string Fit(const ProgressLine &line, size_t maxColumns, size_t shapes) {
  std::string text;
  for (size_t i = 0; i < shapes; ++i) {
    const Shape &shape = kShapes[i];
    if (shape.shortestBar == 0) {
      text = Compose(line, shape, 0);
      if (Columns(text) <= maxColumns) return text;
      continue;
    }
    // The bar takes what the rest leaves, up to its full width; "[]" and its space cost 3.
    const size_t rest = Columns(Compose(line, shape, 0)) + 3;
    if (rest + shape.shortestBar > maxColumns) continue;
    return Compose(line, shape, std::min(kFullBar, maxColumns - rest));
  }
  return text;
}

}  // namespace

size_t Columns(const std::string &utf8) {
  size_t count = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string FirstColumns(const std::string &utf8, size_t columns) {
  size_t count = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) continue;
    if (count++ == columns) return utf8.substr(0, i);
  }
  return utf8;
}

std::string FitProgressLine(const ProgressLine &line, size_t maxColumns) {
  const size_t shapes = sizeof kShapes / sizeof kShapes[0];
  const std::string text = Fit(line, maxColumns, shapes);
  // The barest shape is too wide still: the end goes, the prefix and percentage last.
  return Columns(text) <= maxColumns ? text : FirstColumns(text, maxColumns);
}

std::string FinalProgressLine(const ProgressLine &line, size_t maxColumns) {
  // What was left is no longer to come.
  ProgressLine final = line;
  final.left.clear();
  return Fit(final, maxColumns, kFinalShapes);
}
