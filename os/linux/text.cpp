// Text services on Linux: the window program's formats through swprintf, UTF-8 through iconv.
#include "os/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Room for the longest text any format of the program makes from arguments that each fit the
// 1024 units of wsprintfW: several of them, before the result is cut to wsprintfW's limit.
constexpr size_t kScratchUnits = 16 * kFormattedTextUnits;

// wsprintfW's %s and %c take wide arguments (%S and %C narrow ones); swprintf's take narrow
// ones unless marked with l. The marks are added; everything else of a format is the same in
// both: flags, width, precision, %u %d %x %X and %%.
std::wstring PosixFormat(const wchar_t *format) {
  std::wstring out;
  for (const wchar_t *p = format; *p != 0; ++p) {
    out.push_back(*p);
    if (*p != L'%') continue;
    ++p;
    while (*p != 0 && std::wcschr(L"-+ #0", *p) != nullptr) out.push_back(*p++);
    while (*p != 0 && (std::iswdigit(*p) || *p == L'.')) out.push_back(*p++);
    bool sized = false;
    while (*p == L'l' || *p == L'h') {
      sized = true;
      out.push_back(*p++);
    }
    if (*p == 0) break;
    if (!sized && (*p == L's' || *p == L'c')) out.push_back(L'l');
    out.push_back(*p == L'S' ? L's' : *p == L'C' ? L'c' : *p);
  }
  return out;
}

// One conversion between UTF-8 and the wide encoding, with bytes that do not decode replaced.
class Converter {
 public:
  Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

int FormatTextV(wchar_t *out, const wchar_t *format, va_list arguments) {
  static thread_local std::vector<wchar_t> scratch(kScratchUnits);
  const std::wstring posix = PosixFormat(format);
  const int length = std::vswprintf(scratch.data(), scratch.size(), posix.c_str(), arguments);
  int stored = length < 0 ? 0 : length;
  if (stored > kFormattedTextUnits - 1) stored = kFormattedTextUnits - 1;
  std::wmemcpy(out, scratch.data(), static_cast<size_t>(stored));
  out[stored] = 0;
  return stored;
}

int DecodeUtf8(const unsigned char *bytes, int count, wchar_t *out, int capacity) {
  if (count <= 0 || capacity <= 0) return 0;
  Converter converter("WCHAR_T", "UTF-8");
  if (!converter.ok()) return 0;
  char *in = reinterpret_cast<char *>(const_cast<unsigned char *>(bytes));
  size_t inLeft = static_cast<size_t>(count);
  char *to = reinterpret_cast<char *>(out);
  size_t toLeft = static_cast<size_t>(capacity) * sizeof(wchar_t);
  while (inLeft > 0) {
    if (iconv(converter.get(), &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) return 0;
    // A byte that begins no valid sequence, or a sequence cut short: U+FFFD for one byte.
    if (toLeft < sizeof(wchar_t)) return 0;
    const wchar_t replacement = 0xFFFD;
    std::memcpy(to, &replacement, sizeof replacement);
    to += sizeof(wchar_t);
    toLeft -= sizeof(wchar_t);
    ++in;
    --inLeft;
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return static_cast<int>((reinterpret_cast<wchar_t *>(to) - out));
}

std::string EncodeUtf8(const wchar_t *text, size_t length) {
  std::string out;
  Converter converter("UTF-8", "WCHAR_T");
  if (!converter.ok() || length == 0) return out;
  char *in = reinterpret_cast<char *>(const_cast<wchar_t *>(text));
  size_t inLeft = length * sizeof(wchar_t);
  char chunk[1024];
  while (inLeft > 0) {
    char *to = chunk;
    size_t toLeft = sizeof chunk;
    const size_t done = iconv(converter.get(), &in, &inLeft, &to, &toLeft);
    out.append(chunk, static_cast<size_t>(to - chunk));
    if (done != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // A unit that is no character (a lone surrogate, a value beyond U+10FFFF).
    out.append("\xEF\xBF\xBD");
    in += sizeof(wchar_t);
    inLeft -= sizeof(wchar_t);
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}
