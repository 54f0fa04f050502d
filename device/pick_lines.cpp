// Picking numbered lines of a multi-line text.
#include "device/pick_lines.h"

namespace {

// Where each line starts in the source and how long it is; a source of 500 units cannot hold
// more than 500 lines of 500 units, so nothing is copied.
struct LineSpans {
  size_t start[kPickLinesMaxLines];
  size_t length[kPickLinesMaxLines];
  size_t count;
};

void SplitLines(const wchar_t *source, LineSpans *lines) {
  lines->count = 1;
  lines->start[0] = 0;
  lines->length[0] = 0;
  for (size_t i = 0; i < kPickLinesSourceUnits && source[i] != 0; ++i) {
    if (source[i] == L'\r') {
      if (lines->count == kPickLinesMaxLines) break;
      lines->start[lines->count] = i + 1;
      lines->length[lines->count] = 0;
      ++lines->count;
    } else if (source[i] != L'\n') {
      // A LF inside a line is dropped: the span then covers it, so it is skipped when copying.
      lines->length[lines->count - 1] = i + 1 - lines->start[lines->count - 1];
    }
  }
}

}  // namespace

int PickLines(const wchar_t *source, wchar_t *output, size_t outputUnits,
              const unsigned char *lineNumbers) {
  if (outputUnits == 0) return 0;
  LineSpans lines;
  SplitLines(source, &lines);
  const size_t room = outputUnits - 1;  // the caller's zero stays the terminator
  size_t used = 0;
  auto append = [&](wchar_t unit) {
    if (used < room) output[used++] = unit;
  };
  for (size_t n = 0; n < kPickLinesMaxNumbers && lineNumbers[n] != 0; ++n) {
    const size_t line = lineNumbers[n] - 1u;
    if (line < lines.count) {
      const wchar_t *text = source + lines.start[line];
      for (size_t i = 0; i < lines.length[line]; ++i) {
        if (text[i] != L'\n') append(text[i]);
      }
    }
    append(L'\r');
    append(L'\n');
  }
  return 0;
}
