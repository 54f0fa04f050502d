// Model identification: protocol family, display name and the firmware-only test, from the
// device id alone, over the built-in model table and over tables made for the test.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/printer_state.h"
#include "device/discovery.h"
#include "info/model_identification.h"

namespace {

class ModelIdentification : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExpandInternalStrings(), 0);
    ASSERT_EQ(ExpandModelTable(), 0);
    std::memcpy(savedTable_, modelTable, sizeof modelTable);
  }
  void TearDown() override { std::memcpy(modelTable, savedTable_, sizeof modelTable); }

  static void Choose(const wchar_t *deviceId) { lstrcpynW(currentDeviceId, deviceId, 9); }

  // Replaces the table by these rows (code, family, name); the rest of the table is empty.
  static void UseRows(std::initializer_list<std::tuple<const char *, int, const char *>> rows) {
    std::memset(modelTable, 0, sizeof modelTable);
    unsigned char *row = modelTable;
    for (const auto &[code, family, name] : rows) {
      std::memcpy(row, code, 4);
      row[4] = static_cast<unsigned char>(family);
      std::memcpy(row + 5, name, std::min<size_t>(std::strlen(name), 16));
      row += kModelEntryBytes;
    }
  }

 private:
  unsigned char savedTable_[sizeof modelTable];
};

TEST_F(ModelIdentification, TheBuiltInTableNamesEveryKindOfPrinter) {
  struct Case {
    const wchar_t *deviceId;
    int family;
    const wchar_t *displayName;
    int firmwareOnly;
  };
  const Case cases[] = {
      {L"4B560022", 1, L"KL-1020 (4B560022)", 0},
      {L"4B56015C", 2, L"Orbis 300 (4B56015C)", 0},
      {L"4B560300", 0, L"KT-20 Label (4B560300)", 0},
      // Not in the table: family 2, named after its id.
      {L"4B569999", 2, L"Unknown printer (4B569999)", 0},
      // Ids are upper case; a lower-case one finds no model.
      {L"4B56015c", 2, L"Unknown printer (4B56015c)", 0},
      // The vendor plays no part in the lookup.
      {L"12340022", 1, L"KL-1020 (12340022)", 0},
      // Firmware-only: the listed whole ids and every id of the boot-loader vendors.
      {L"4B56B001", 2, L"Boot mode (4B56B001)", 1},
      {L"4B56B003", 2, L"Boot mode (4B56B003)", 1},
      {L"4B421234", 2, L"Boot mode (4B421234)", 1},
      {L"4B520022", 1, L"Boot mode (4B520022)", 1},  // in the table all the same
      {L"4B46015C", 2, L"Boot mode (4B46015C)", 1},
      // Whole ids compare exactly; vendor ids only by their first four characters.
      {L"4B56b001", 2, L"Unknown printer (4B56b001)", 0},
      {L"4B56B004", 2, L"Unknown printer (4B56B004)", 0},
      {L"4b421234", 2, L"Unknown printer (4b421234)", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.deviceId)));
    Choose(c.deviceId);
    protocolFamily = 7;
    EXPECT_EQ(LookUpProtocolFamily(), 0);
    EXPECT_EQ(protocolFamily, c.family);
    EXPECT_EQ(ComposeDisplayName(), 0);
    EXPECT_STREQ(currentDisplayName, c.displayName);
    EXPECT_EQ(protocolFamily, c.family) << "naming leaves the family alone";
    EXPECT_EQ(IsFirmwareOnlyDevice(), c.firmwareOnly);
  }
}

TEST_F(ModelIdentification, TheFirstEntryWithTheCodeDecides) {
  UseRows({{"0A1B", 1, "First"},
           {"0A1B", 2, "Second"},
           {"0c2d", 1, "Lower case"},
           {"0C2D", 0, "Upper case"},
           {"0E3F", 1, "SixteenCharsLong"},
           {"0E40", 2, "Fifteen chars.."},
           {"0E41", 1, ""}});
  struct Case {
    const wchar_t *deviceId;
    int family;
    const wchar_t *displayName;
  };
  const Case cases[] = {
      {L"4B560A1B", 1, L"First (4B560A1B)"},
      {L"4B560C2D", 0, L"Upper case (4B560C2D)"},
      // A name filling all 16 bytes has no terminator in its entry and is taken whole.
      {L"4B560E3F", 1, L"SixteenCharsLong (4B560E3F)"},
      {L"4B560E40", 2, L"Fifteen chars.. (4B560E40)"},
      {L"4B560E41", 1, L" (4B560E41)"},
      {L"4B560000", 2, L"Unknown printer (4B560000)"},  // empty rows have code 00 00 00 00
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.deviceId)));
    Choose(c.deviceId);
    LookUpProtocolFamily();
    ComposeDisplayName();
    EXPECT_EQ(protocolFamily, c.family);
    EXPECT_STREQ(currentDisplayName, c.displayName);
  }
}

TEST_F(ModelIdentification, LastEntryOfTheTableIsReached) {
  std::memset(modelTable, 0, sizeof modelTable);
  unsigned char *last = modelTable + (kModelEntries - 1) * kModelEntryBytes;
  std::memcpy(last, "7F7F\x01Last row", 13);
  Choose(L"4B567F7F");
  LookUpProtocolFamily();
  ComposeDisplayName();
  EXPECT_EQ(protocolFamily, 1);
  EXPECT_STREQ(currentDisplayName, L"Last row (4B567F7F)");
}

}  // namespace
