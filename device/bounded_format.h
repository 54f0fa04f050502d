// Formatting into the fixed-size text buffers of the global records.
#pragma once

#include <cstdarg>

// Formats like wsprintfW (output limited to 1024 units) and copies the result into out,
// cut to capacity units including the terminator, so that no format or argument can run past
// a buffer smaller than wsprintfW's limit. Returns the number of units stored.
int FormatBounded(wchar_t *out, int capacity, const wchar_t *format, ...);
int FormatBoundedV(wchar_t *out, int capacity, const wchar_t *format, va_list arguments);

// Copies text into out, cut to capacity units including the terminator (lstrcpynW's rule).
// Returns the number of units stored.
int CopyBounded(wchar_t *out, int capacity, const wchar_t *text);
