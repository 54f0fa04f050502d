// Formatting into fixed-size text buffers.
#include "device/bounded_format.h"

#include <cstdarg>

int FormatBounded(wchar_t *out, int capacity, const wchar_t *format, ...) {
  if (capacity <= 0) return 0;
  wchar_t text[1024];
  va_list arguments;
  va_start(arguments, format);
  wvsprintfW(text, format, arguments);
  va_end(arguments);
  lstrcpynW(out, text, capacity);
  return lstrlenW(out);
}
