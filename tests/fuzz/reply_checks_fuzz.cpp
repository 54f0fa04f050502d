// Fuzzing the byte checks of the printers' replies and the report's line grid: any reply a
// printer may send, and any pane text, must be read without touching a byte outside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "info/reply_checks.h"
#include "info/report_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Exactly the reply's bytes, so that the sanitizers see any read past its end.
  std::vector<unsigned char> reply(data, data + size);
  const unsigned char *bytes = reply.empty() ? nullptr : reply.data();
  static unsigned char scratch[1];
  if (!bytes) bytes = scratch;

  DecimalValue(bytes, size);
  IsModelNumberReply(bytes, size);
  IsProductCodeReply(bytes, size);
  IsMemoryNumberReply(bytes, size);
  if (size >= 13) {
    AreVersionBytes(bytes);
    AreVersionBytes(bytes + 6);
  }
  for (int family : {1, 2}) {
    const size_t macLength = MacAddressLength(family, bytes, size);
    if (macLength > 17) __builtin_trap();  // the field holds 17 characters
  }
  for (int family : {1, 2}) {
    std::vector<unsigned char> copy(reply);
    std::vector<unsigned char> out(size + 1);
    const size_t copied = NormaliseVersionText(family, copy.data(), copy.size(), out.data());
    if (copied > size) __builtin_trap();
    for (size_t i = 0; i + 1 < copied; ++i) {
      if (out[i] == ' ' && out[i + 1] == ' ') __builtin_trap();  // runs of spaces are one
    }
    if (copied && out[copied - 1] == ' ') __builtin_trap();
  }

  // The pane text as the report actions see it: n bytes and a terminating zero.
  std::vector<unsigned char> text(data, data + size);
  text.push_back(0);
  auto grid = std::make_unique<ReportLineGrid>();
  SplitReportLines(text.data(), size, grid.get());
  wchar_t word[kFirstWordUnits];
  for (int line : {0, 2, 255}) {
    FirstWordOfLine(*grid, line, word);
    if (std::wcslen(word) >= kFirstWordUnits) __builtin_trap();
  }
  return 0;
}
