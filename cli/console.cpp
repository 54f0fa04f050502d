// Output of the command line.
#include "cli/console.h"

#include <cwchar>
#include <mutex>

#include <nlohmann/json.hpp>

#include "device/bounded_format.h"
#include "os/text.h"
#include "tables/tables.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

std::mutex &OutputLock() {
  static std::mutex lock;
  return lock;
}

// Line ends are "\n" inside the program and CR LF on Windows. Each text is written whole: the
// printers of an upgrade write from threads of their own. A write that fails (output nobody
// reads any more) is dropped.
void Write(std::FILE *stream, const std::string &utf8) {
  std::lock_guard<std::mutex> lock(OutputLock());
#ifdef _WIN32
  std::string text;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r')) text.push_back('\r');
    text.push_back(utf8[i]);
  }
#else
  const std::string &text = utf8;
#endif
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void PrepareConsole() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
#endif
}

void Out(const std::string &utf8) { Write(stdout, utf8); }
void Err(const std::string &utf8) { Write(stderr, utf8); }

bool IsTerminal(std::FILE *stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

std::string Plain(const wchar_t *text) {
  std::wstring out;
  for (const wchar_t *p = text; *p != 0; ++p) {
    if (*p == L'\r' && p[1] == L'\n') continue;
    out.push_back(*p == L'\n' ? L'\n' : IsControl(*p) ? L' ' : *p);
  }
  const size_t first = out.find_first_not_of(L" \n");
  const size_t last = out.find_last_not_of(L" \n");
  out = first == std::wstring::npos ? std::wstring() : out.substr(first, last - first + 1);
  return EncodeUtf8(out);
}

std::string OneLine(const wchar_t *text) {
  std::wstring out(text);
  for (wchar_t &c : out) {
    if (IsControl(c)) c = L' ';
  }
  return EncodeUtf8(out);
}

std::string OwnWords(int format) {
  wchar_t text[kFormattedTextUnits];
  FormatBounded(text, kFormattedTextUnits, InternalString(format), L"");
  return Plain(text);
}

std::string OneLine(const std::string &utf8) {
  std::string out = utf8;
  for (char &c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

std::string Utf8(const wchar_t *text) { return EncodeUtf8(text, std::wcslen(text)); }

std::string Printable(const unsigned char *bytes, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      out.push_back(static_cast<char>(bytes[i]));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
      out += escaped;
    }
  }
  return out;
}

std::string Size(uint64_t bytes) {
  char text[32];
  if (bytes >= 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof text, "%.0f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
  }
  return text;
}

std::string Duration(double seconds) {
  if (seconds < 0) seconds = 0;
  const unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
  }
  return text;
}

std::string JsonText(const nlohmann::json &document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
