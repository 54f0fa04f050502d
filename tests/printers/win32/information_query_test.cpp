// The information query on simulated printers, driven through the real window: button 900, the
// printer found through SetupAPI, six questions, the pane as the user sees it at the end.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/printer_state.h"
#include "app/report.h"
#include "app/startup.h"
#include "box_answerer.h"
#include "device/discovery.h"
#include "gui_support.h"
#include "info/device_code.h"
#include "info/information_query.h"
#include "printer_test_support.h"

namespace {

const std::string kSalt = "Kx7#rv2!q";

std::wstring Wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

std::string Md5Hex(const std::string &bytes) {
  unsigned char digest[16] = {};
  EXPECT_EQ(Md5Digest(reinterpret_cast<const unsigned char *>(bytes.data()),
                      static_cast<int>(bytes.size()), digest),
            0);
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : digest) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

struct Expected {
  std::string displayName, deviceId, modelCode, firmware, productCode, mac, memory, version;
};

// The final text as the user must see it, with the device code worked out here from the
// printer's values and the salt.
std::wstring FinalText(const Expected &e) {
  const std::string code =
      e.modelCode + "-" +
      Md5Hex(e.productCode + e.deviceId + e.modelCode + e.mac + e.firmware + e.memory + kSalt);
  return Wide(e.displayName + "\r\n" + e.firmware + " (firmware)\r\n" + e.productCode +
              " (product code)\r\n" + e.mac + " (MAC address)\r\n" + e.memory +
              " MB (memory)\r\n" + e.version + " (version)\r\n" + code + " (device code)");
}

class InformationQuery : public ProgramOnPrinters {
 protected:
  // Clicks button 900 and serves the window until the query has run and left the busy state.
  // A failure box, when one comes, is answered and its text returned.
  static std::wstring RunQuery() {
    BoxAnswerer failureBox(UiText(22), IDOK, 30000);
    EXPECT_TRUE(RunCommandUntilIdle(kQueryButtonId));
    Pump(100);
    failureBox.Stop();
    const AnsweredBox box = failureBox.Result();
    return box.found ? box.text : L"";
  }
};

TEST_F(InformationQuery, Family1PrinterGivesTheSevenLineText) {
  PrinterUnderTest printer(Registered(1, 1));
  EXPECT_EQ(RunQuery(), L"") << "no failure box";
  EXPECT_EQ(PaneText(), FinalText({"KL-1020 (4B560022)", "4B560022", "4B4C1020", "3.01.22",
                                   "KV30100A01", "00:1B:4B:56:01:2C", "256",
                                   "build 2291 Orbis firmware 3.01.22 (2023-05-14)"}));
  wchar_t heading[64];
  GetWindowTextW(app.headingLabel, heading, 64);
  EXPECT_STREQ(heading, UiText(11));
  EXPECT_TRUE(IsWindowEnabled(app.queryButton));
  EXPECT_FALSE(IsWindowVisible(app.progressBar));
  EXPECT_EQ(GetFocus(), app.queryButton);
  SaveScreenshot(L"query_family1", {0, 0, 900, 700});
}

TEST_F(InformationQuery, Family2PrinterInEachLanguage) {
  PrinterUnderTest printer(Registered(2, 2));
  const Expected expected = {"Orbis 300 (4B56015C)", "4B56015C", "0000012D", "3.01.22",
                             "KV30100A01", "00:1B:4B:56:01:2C", "256",
                             "Orbis firmware 3.01.22 (2023-05-14)"};
  const wchar_t *const codes[4] = {L"ru", L"en", L"pt", L"zh"};
  for (int language = 0; language < 4; ++language) {
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
    EXPECT_EQ(RunQuery(), L"");
    // The information text is the same in every language; only the window around it changes.
    EXPECT_EQ(PaneText(), FinalText(expected));
    RECT area;
    GetWindowRect(app.mainWindow, &area);
    InflateRect(&area, 4, 4);
    SaveScreenshot(std::wstring(L"query_final_") + codes[language], area);
  }
  const SimulatedPrinterRecord seen = printer.record();
  ASSERT_GE(seen.received.size(), 6u);
  EXPECT_EQ(seen.received[0], "CMD_SSI_PRODUCT_MODEL");
  EXPECT_EQ(seen.received[5], "CMD_READ_ETC_VERSION");
}

TEST_F(InformationQuery, UnknownFamily2ModelIsNamedByThePrinterAndOldFirmwareByItsKernel) {
  SimulatedPrinterSetup setup = Registered(2, 3);
  setup.productId = L"0FFF";  // not in the model table
  setup.identity.firmwareVersion = "V301.22";  // second character no '.': the kernel is asked
  PrinterUnderTest printer(setup);
  EXPECT_EQ(RunQuery(), L"");
  const std::wstring text = PaneText();
  EXPECT_EQ(text.substr(0, text.find(L"\r\n")), L"Orbis 300 Studio (4B560FFF)");
  EXPECT_NE(text.find(L"\r\n4.9.118 V301.22 (firmware)\r\n"), std::wstring::npos) << "15 characters";
  const SimulatedPrinterRecord seen = printer.record();
  EXPECT_EQ(seen.received[1], "CMD_SSI_PRINT_NAME");
  EXPECT_EQ(seen.received[3], "CMD_SSI_KERNEL_VERSION");
}

TEST_F(InformationQuery, ControlBytesOfThePrintNameAreShownAsSpaces) {
  SimulatedPrinterSetup setup = Registered(2, 7);
  setup.productId = L"0FFF";  // not in the model table: the printer names itself
  setup.identity.printName = "Orbis\r\n300\tStudio";
  PrinterUnderTest printer(setup);
  EXPECT_EQ(RunQuery(), L"");
  const std::wstring text = PaneText();
  EXPECT_EQ(text.substr(0, text.find(L"\r\n")), L"Orbis  300 Studio (4B560FFF)");
  // Still the seven lines the report actions take.
  EXPECT_EQ(CopyReport(), 0);
  Pump(1600);  // the copy notice hides again
}

TEST_F(InformationQuery, ProductDateReplacesTheVersionFileForSomeFirmware) {
  SimulatedPrinterSetup setup = Registered(2, 4);
  setup.identity.firmwareVersion = "7.20.01";
  PrinterUnderTest printer(setup);
  EXPECT_EQ(RunQuery(), L"");
  EXPECT_NE(PaneText().find(L"\r\n2023-05-14 (version)\r\n"), std::wstring::npos);
  const SimulatedPrinterRecord seen = printer.record();
  EXPECT_EQ(seen.received.back(), "CMD_SSI_PRODUCT_DATE");
}

TEST_F(InformationQuery, FailureInStep3LeavesPlaceholdersAndNoDeviceCode) {
  SimulatedPrinterSetup setup = Registered(2, 5);
  setup.faults.slowWriteMilliseconds = 200;
  PrinterUnderTest printer(setup);
  BoxAnswerer failureBox(UiText(22), IDOK, 40000);
  bool unplugged = false;
  // Unplugged once the product code (step 2) has been asked: the MAC question cannot go out.
  EXPECT_TRUE(RunCommandUntilIdle(kQueryButtonId, 40000, [&] {
    if (!unplugged && printer.record().received.size() >= 3) {
      UnplugSimulatedPrinter(printer.get());
      unplugged = true;
    }
  }));
  AnsweredBox box = failureBox.Result();
  ASSERT_TRUE(box.found) << "the failure box";
  EXPECT_EQ(box.text, UiText(31));
  EXPECT_EQ(PaneText(), L"Orbis 300 (4B56015C)\r\n3.01.22 (firmware)\r\nKV30100A01 (product code)"
                        L"\r\n? (MAC address)\r\n? MB (memory)\r\n? (version)\r\n? (device code)");
  EXPECT_EQ(printer.record().received.size(), 3u) << "steps 4 and 5 are not asked";
}

TEST_F(InformationQuery, CommandQueuedTwiceRunsOneQuery) {
  PrinterUnderTest printer(Registered(2, 6));
  // A fast double click: the second command is queued before the first has been handled.
  PostMessageW(app.mainWindow, WM_COMMAND, kQueryButtonId, 0);
  PostMessageW(app.mainWindow, WM_COMMAND, kQueryButtonId, 0);
  bool sawBusy = false;
  EXPECT_TRUE(PumpUntil(
      [&] {
        sawBusy = sawBusy || app.isBusy;
        return sawBusy && !app.isBusy;
      },
      30000));
  Pump(500);  // time for a second query to show itself
  EXPECT_EQ(printer.record().received,
            (std::vector<std::string>{"CMD_SSI_PRODUCT_MODEL", "CMD_SSI_FW_VERSION",
                                      "CMD_FF05", "CMD_SSI_MAC_ADDRESS", "CMD_SSI_MEMORY_SIZE",
                                      "CMD_READ_ETC_VERSION"}))
      << "one sequence of questions";
  EXPECT_EQ(app.isBusy, 0);
}

TEST_F(InformationQuery, FirmwareOnlyAndRefusedModelsAreNotQueried) {
  struct Case {
    const wchar_t *vendor, *product;
    int internalString;
  } cases[] = {{L"4B42", L"0100", 40}, {L"4B56", L"B001", 40}, {L"4B56", L"0300", 41}};
  int number = 10;
  for (const Case &c : cases) {
    SimulatedPrinterSetup setup = Registered(2, ++number);
    setup.vendorId = c.vendor;
    setup.productId = c.product;
    PrinterUnderTest printer(setup);
    SetWindowTextW(app.infoPane, L"earlier text");
    SendMessageW(app.mainWindow, WM_COMMAND, kQueryButtonId, 0);
    Pump(300);
    EXPECT_EQ(PaneText(), InternalString(c.internalString));
    EXPECT_EQ(app.isBusy, 0);
    EXPECT_TRUE(printer.record().received.empty()) << "nothing is sent";
  }
}

}  // namespace
