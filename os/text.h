// Text services of the operating system that the protocol core and the command line use: the
// window program's formatting rules, UTF-8 in and out. Each backend (os/win32, os/linux) defines
// them with its own platform API.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The room wsprintfW formats into: 1024 units, the terminator included.
constexpr int kFormattedTextUnits = 1024;

// Formats as wsprintfW does (%s a wide string, %c a wide character, %u %d %X with flags and
// width), into out, which holds kFormattedTextUnits units; the output is cut to 1023 units and
// terminated. Returns the number of units stored.
int FormatTextV(wchar_t *out, const wchar_t *format, va_list arguments);

// Decodes count bytes of UTF-8 into at most capacity units of out (not terminated); a byte that
// is no part of a valid sequence becomes U+FFFD. Returns the number of units written, or 0 when
// they do not all fit.
int DecodeUtf8(const unsigned char *bytes, int count, wchar_t *out, int capacity);

// The UTF-8 form of length units of text.
std::string EncodeUtf8(const wchar_t *text, size_t length);
inline std::string EncodeUtf8(const std::wstring &text) {
  return EncodeUtf8(text.data(), text.size());
}
