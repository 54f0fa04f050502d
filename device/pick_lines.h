// Picks numbered lines of a multi-line text to build failure details (no Windows headers).
#pragma once

#include <cstddef>

constexpr size_t kPickLinesSourceUnits = 500;  // a UI text slot
constexpr size_t kPickLinesMaxLines = 500;
constexpr size_t kPickLinesMaxNumbers = 500;

// Splits source (up to its first NUL or 500 units) into lines: CR ends a line, LF is dropped.
// Then, for each number in lineNumbers (1-based, ended by 0), appends that line and CR LF to
// output; a number past the last line appends only CR LF. output must hold outputUnits units and
// be zeroed by the caller, who relies on that zero as the terminator: at most outputUnits - 1
// units are written, so picking the same long line several times cuts the result short instead
// of running past the buffer. Returns 0.
int PickLines(const wchar_t *source, wchar_t *output, size_t outputUnits,
              const unsigned char *lineNumbers);
