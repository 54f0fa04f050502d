// The operating system's text services as the protocol core uses them: the formats of the
// internal string table give the same text through wsprintfW on Windows and through swprintf
// on Linux, and UTF-8 is read and written alike, bad bytes included.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "os/text.h"
#include "tables/tables.h"

namespace {

std::wstring Format(const wchar_t *format, ...) {
  wchar_t out[kFormattedTextUnits];
  va_list arguments;
  va_start(arguments, format);
  const int length = FormatTextV(out, format, arguments);
  va_end(arguments);
  EXPECT_EQ(static_cast<size_t>(length), std::wstring(out).size());
  return out;
}

TEST(TextServices, TheProgramsFormatsGiveTheSameTextOnEverySystem) {
  // The device id from eight characters, the model codes, a memory size, a display name and a
  // progress line, as discovery, the parsers and the upgrade make them.
  EXPECT_EQ(Format(L"%c%c%c%c%c%c%c%c", '4', 'B', '5', '6', '0', '0', '2', '2'), L"4B560022");
  EXPECT_EQ(Format(L"%02X%02X%02X%02X", 0x4B, 0x4C, 0x10, 0x0A), L"4B4C100A");
  EXPECT_EQ(Format(L"%08X", -301), L"FFFFFED3");
  EXPECT_EQ(Format(L"%u", 4294967295u), L"4294967295");
  EXPECT_EQ(Format(L"%s (%s)", L"Orbis 300", L"4B56015C"), L"Orbis 300 (4B56015C)");
  EXPECT_EQ(Format(L"%s\r\n%s: %u of %u bytes", L"Valid", L"Transfer", 4096u, 8192u),
            L"Valid\r\nTransfer: 4096 of 8192 bytes");
  EXPECT_EQ(Format(L"%s%s", L"", L"\u4E2D\u6587"), L"\u4E2D\u6587");
}

TEST(TextServices, FormattedTextIsCutAtWsprintfsLimit) {
  const std::wstring longer(3000, L'x');
  const std::wstring text = Format(L"%s-%s", longer.c_str(), L"tail");
  EXPECT_EQ(text, std::wstring(kFormattedTextUnits - 1, L'x'));
}

TEST(TextServices, Utf8IsReadAndWrittenWithBadBytesReplaced) {
  wchar_t out[16] = {};
  const unsigned char text[] = "3.01\xE2\x80\x99" "22";
  ASSERT_EQ(DecodeUtf8(text, sizeof text - 1, out, 16), 7);
  EXPECT_EQ(std::wstring(out, 7), L"3.01\u201922");

  const unsigned char bad[] = {'a', 0xFF, 'b', 0xE2, 0x80};
  wchar_t decoded[16] = {};
  const int units = DecodeUtf8(bad, sizeof bad, decoded, 16);
  ASSERT_GE(units, 4);
  EXPECT_EQ(decoded[0], L'a');
  EXPECT_EQ(decoded[1], 0xFFFD);
  EXPECT_EQ(decoded[2], L'b');
  EXPECT_EQ(decoded[3], 0xFFFD);

  EXPECT_EQ(DecodeUtf8(text, sizeof text - 1, out, 3), 0) << "does not fit";
  EXPECT_EQ(EncodeUtf8(std::wstring(L"Orbis \u2019\u4E2D")), "Orbis \xE2\x80\x99\xE4\xB8\xAD");
}

}  // namespace
