// Formatting into fixed-size text buffers.
#include "device/bounded_format.h"

#include <cstdarg>

#include "os/text.h"

int FormatBounded(wchar_t *out, int capacity, const wchar_t *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int stored = FormatBoundedV(out, capacity, format, arguments);
  va_end(arguments);
  return stored;
}

int FormatBoundedV(wchar_t *out, int capacity, const wchar_t *format, va_list arguments) {
  if (capacity <= 0) return 0;
  wchar_t text[kFormattedTextUnits];
  FormatTextV(text, format, arguments);
  return CopyBounded(out, capacity, text);
}

int CopyBounded(wchar_t *out, int capacity, const wchar_t *text) {
  if (capacity <= 0) return 0;
  int length = 0;
  for (; length < capacity - 1 && text[length] != 0; ++length) out[length] = text[length];
  out[length] = 0;
  return length;
}
