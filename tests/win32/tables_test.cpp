// Expansion of the built-in tables into their in-memory layouts, and the start-up failures.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "box_answerer.h"
#include "info/model_identification.h"
#include "tables/table_stream.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Stored(const Bytes &plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9);
  out.resize(size);
  out[0] = kStoredStreamMark[0];
  out[1] = kStoredStreamMark[1];
  return out;
}

void Put(Bytes &layout, size_t slot, size_t slotBytes, const std::string &text) {
  std::copy(text.begin(), text.end(), layout.begin() + slot * slotBytes);
}

// Expands a stream that should fail, answering the "Init" box; returns the box's text.
std::wstring FailingExpansion(int (*expand)(unsigned char *, unsigned int), Bytes stream) {
  BoxAnswerer answerer(L"Init");
  EXPECT_EQ(expand(stream.data(), static_cast<unsigned int>(stream.size())), 1);
  AnsweredBox box = answerer.Result();
  EXPECT_TRUE(box.found) << "no \"Init\" box";
  EXPECT_EQ(box.owner, nullptr) << "the box has no owner";
  return box.text;
}

class TablesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Leave the real tables in place for whatever runs next in this process.
    ASSERT_EQ(ExpandUiTexts(), 0);
    ASSERT_EQ(ExpandInternalStrings(), 0);
    ASSERT_EQ(ExpandModelTable(), 0);
    app.currentLanguage = 0;
  }
};

TEST_F(TablesTest, UiTextsAreConvertedFromUtf8IntoTheirLanguageSlots) {
  Bytes layout(kLanguages * kUiTexts * kUiTextUnits, 0);
  const size_t slot = kUiTextUnits;  // a text's slot in the layout, in bytes
  Put(layout, 0 * kUiTexts + 0, slot, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");  // Привет
  Put(layout, 1 * kUiTexts + 13, slot, "Printer info");
  Put(layout, 2 * kUiTexts + 36, slot, "Atualiza\xC3\xA7\xC3\xA3o");  // Atualização
  Put(layout, 3 * kUiTexts + 5, slot, "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA");  // 打印机
  const std::string longest(499, 'x');  // a full slot: 499 bytes and the terminator
  Put(layout, 1 * kUiTexts + 30, slot, longest);
  Bytes stream = Stored(layout);
  ASSERT_EQ(ExpandUiTextsFrom(stream.data(), static_cast<unsigned int>(stream.size())), 0);

  EXPECT_STREQ(uiTextTable[0][0], L"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_STREQ(uiTextTable[1][13], L"Printer info");
  EXPECT_STREQ(uiTextTable[2][36], L"Atualiza\u00E7\u00E3o");
  EXPECT_STREQ(uiTextTable[3][5], L"\u6253\u5370\u673A");
  EXPECT_EQ(std::wstring(uiTextTable[1][30]), std::wstring(499, L'x'));
  EXPECT_STREQ(uiTextTable[1][12], L"");

  // UiText follows the current language at the moment of use.
  app.currentLanguage = 1;
  EXPECT_STREQ(UiText(13), L"Printer info");
  app.currentLanguage = 3;
  EXPECT_STREQ(UiText(5), L"\u6253\u5370\u673A");
}

TEST_F(TablesTest, InternalStringsWidenEveryByteOfTheirSlot) {
  Bytes layout(136 * 128, 0);
  Put(layout, 0, 128, "first");
  Put(layout, 72, 128, std::string("A\xA9\xFF\x01z", 5));
  Put(layout, 9, 128, std::string("Text\0*.txt\0", 11));  // a filter: NUL-separated pairs
  Put(layout, 135, 128, std::string(127, 'q'));
  Bytes stream = Stored(layout);
  ASSERT_EQ(ExpandInternalStringsFrom(stream.data(), static_cast<unsigned int>(stream.size())), 0);

  EXPECT_STREQ(InternalString(0), L"first");
  EXPECT_STREQ(InternalString(72), L"A\u00A9\u00FF\u0001z");
  EXPECT_EQ(std::wstring(InternalString(9), 12), std::wstring(L"Text\0*.txt\0\0", 12));
  EXPECT_EQ(std::wstring(InternalString(135)), std::wstring(127, L'q'));
  // Entries are addressed by computed index from entry 0.
  EXPECT_EQ(InternalString(0) + 72 * 128, InternalString(72));
}

TEST_F(TablesTest, ModelTableIsCopiedByteForByte) {
  Bytes layout(161 * 21);
  for (size_t i = 0; i < layout.size(); ++i) layout[i] = static_cast<unsigned char>(i * 13 + 1);
  Bytes stream = Stored(layout);
  ASSERT_EQ(ExpandModelTableFrom(stream.data(), static_cast<unsigned int>(stream.size())), 0);
  EXPECT_EQ(Bytes(modelTable, modelTable + sizeof modelTable), layout);
}

TEST_F(TablesTest, DamagedStreamsStopWithTheirOwnInitBox) {
  Bytes ui = Stored(Bytes(kLanguages * kUiTexts * kUiTextUnits, 'a'));
  ui[ui.size() / 2] ^= 0xFF;
  EXPECT_EQ(FailingExpansion(ExpandUiTextsFrom, ui), L"Error #4");

  Bytes strings = Stored(Bytes(136 * 128, 'b'));
  strings.resize(strings.size() - 6);
  EXPECT_EQ(FailingExpansion(ExpandInternalStringsFrom, strings), L"Error #3");

  Bytes models = Stored(Bytes(161 * 21 - 1, 'c'));  // one byte short of the table
  EXPECT_EQ(FailingExpansion(ExpandModelTableFrom, models), L"Error #5");
}

TEST_F(TablesTest, BuiltInTablesExpandAndHoldWhatTheProgramReads) {
  ASSERT_EQ(ExpandUiTexts(), 0);
  ASSERT_EQ(ExpandInternalStrings(), 0);
  ASSERT_EQ(ExpandModelTable(), 0);
  for (int language = 0; language < kLanguages; ++language) {
    EXPECT_NE(uiTextTable[language][0][0], 0) << "window title, language " << language;
    EXPECT_NE(uiTextTable[language][13][0], 0) << "button caption, language " << language;
  }
  // The saved forms of the four languages are the digits the language is saved as.
  EXPECT_STREQ(InternalString(35), L"0");
  EXPECT_STREQ(InternalString(36), L"1");
  EXPECT_STREQ(InternalString(37), L"2");
  EXPECT_STREQ(InternalString(38), L"3");
  EXPECT_NE(InternalString(11)[0], 0) << "registry key path";
  for (int entry = 0; entry < kModelEntries; ++entry) {
    EXPECT_LE(modelTable[entry * kModelEntryBytes + 4], 2) << "family of model entry " << entry;
  }
}

}  // namespace
