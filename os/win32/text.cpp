// Text services of Windows: wsprintfW's formatting, UTF-8 through the code page functions.
#include <windows.h>

#include "os/text.h"

int FormatTextV(wchar_t *out, const wchar_t *format, va_list arguments) {
  // At its limit wvsprintfW stores 1023 units and may count the 1024 it was given.
  const int stored = wvsprintfW(out, format, arguments);
  if (stored < 0) return 0;
  return stored < kFormattedTextUnits ? stored : kFormattedTextUnits - 1;
}

int DecodeUtf8(const unsigned char *bytes, int count, wchar_t *out, int capacity) {
  if (count <= 0) return 0;
  return MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char *>(bytes), count, out,
                             capacity);
}

std::string EncodeUtf8(const wchar_t *text, size_t length) {
  if (length == 0) return std::string();
  const int units = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, &out[0], bytes, nullptr, nullptr);
  return out;
}
