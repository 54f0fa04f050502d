// Multi-part packages against simulated printers: the parts as the printer receives them, the
// pauses between them, progress counted in parts, and each way the run refuses a package.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/upgrade_worker.h"
#include "upgrade/transfer.h"
#include "upgrade_test_support.h"

namespace {

// The printer the packages are made for: an Orbis 300 reporting firmware 3.01.22.
constexpr char kDeviceId[] = "4B56015C";
constexpr char kVersion[] = "3.01.22";

std::wstring PartLine(unsigned part, unsigned count) {
  return LineAfter(InternalString(123), L"", UiText(28), part, count);
}
std::wstring PartsSentLine() {
  return LineAfter(InternalString(131), UiText(20));
}

class MultiPartRun : public ::testing::Test {
 protected:
  void SetUp() override { UseUpgradeWindow(); }
};

TEST_F(MultiPartRun, PartsArriveWholeWithTheirPausesAndProgressInParts) {
  const Bytes first = PartData(10000, 1);
  const Bytes second = PartData(5000, 2);
  Bytes package = MultiPartHeader(kPrinterProductCode, kVersion, kDeviceId, '2');
  AppendPartTo(package, kPrinterProductCode, 1, first);
  AppendPartTo(package, kPrinterProductCode, 1, second);
  FirmwareFile file(L"parts.bin", package);
  UpgradePrinter printer(L"015C", 2, 1);
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());

  EXPECT_EQ(run.exitCode, 0u);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(printer.Firmware(), expected);
  // Device id, product code and firmware version were checked, in that order of asking.
  EXPECT_EQ(printer.record().received,
            (std::vector<std::string>{"CMD_FF05", "CMD_SSI_FW_VERSION"}));

  // The second part starts a pause after the first has ended; the run ends a pause after the
  // second. Ticks are coarse (~16 ms), hence the margin.
  const auto arrivals = printer.Arrivals();
  ASSERT_FALSE(arrivals.empty());
  DWORD firstEnd = 0, secondStart = 0;
  for (const auto &arrival : arrivals) {
    if (arrival.total <= first.size()) firstEnd = arrival.tick;
    if (arrival.total > first.size() && secondStart == 0) secondStart = arrival.tick;
  }
  EXPECT_GE(secondStart - firstEnd, 980u);
  EXPECT_LT(secondStart - firstEnd, 1500u);
  EXPECT_GE(run.milliseconds, 1980u);

  EXPECT_NE(run.pane.find(LineAfter(InternalString(130), L"") + L"\r\n" + UiText(32)),
            std::wstring::npos)
      << "the note before the parts";
  bool sawFirst = false, sawSecond = false;
  for (const std::wstring &text : run.paneTexts) {
    sawFirst = sawFirst || EndsWith(text, PartLine(1, 2));
    sawSecond = sawSecond || EndsWith(text, PartLine(2, 2));
  }
  EXPECT_TRUE(sawFirst && sawSecond);
  // The whole package was checked before the first part went out.
  const int checked = FirstPaneTextWith(run, std::wstring(UiText(24)) + L": ");
  EXPECT_GE(checked, 0);
  EXPECT_LT(checked, FirstPaneTextWith(run, PartLine(1, 2)));
  EXPECT_TRUE(EndsWith(run.pane, PartLine(2, 2) + L"\r\n" + PartsSentLine()))
      << testing::PrintToString(run.pane);
  EXPECT_EQ(run.rangeHigh, 2u);
  EXPECT_EQ(run.positions, (std::vector<UINT>{0, 1, 2}));
  EXPECT_TRUE(run.boxes.empty()) << "interactively a multi-part success is the pane line alone";
  EXPECT_FALSE(run.busyAfter);
}

TEST_F(MultiPartRun, PackageOfNoPartsSucceedsAndUnattendedSaysSoInABox) {
  FirmwareFile file(L"none.bin", MultiPartHeader(kPrinterProductCode, "*******", kDeviceId, '0'));
  UpgradePrinter printer(L"015C", 2, 1);
  UseUpgradeWindow(true);
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(printer.record().firmwareBytes, 0u);
  EXPECT_TRUE(EndsWith(run.pane, L"\r\n" + PartsSentLine()));
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(26));
  EXPECT_EQ(run.boxes[0].text, Format(InternalString(131), UiText(20)));
  EXPECT_EQ(run.closeRequests, 1);
}

// Each refusal, told as before, and nothing sent: damage in a later part is found before the
// first part goes out, since the whole package is checked first.
TEST_F(MultiPartRun, EachRefusalIsReportedAndNothingIsSent) {
  const Bytes part = PartData(6000, 3);
  const std::string code = kPrinterProductCode;
  auto packageOf = [&](const std::string &version, const std::string &deviceId,
                       unsigned char count, const std::vector<std::pair<int, Bytes>> &parts) {
    Bytes package = MultiPartHeader(code, version, deviceId, count);
    for (const auto &p : parts) AppendPartTo(package, code, static_cast<unsigned char>(p.first),
                                             p.second);
    return package;
  };
  // A good first part, then the damaged second one.
  auto secondPart = [&](int delay, const Bytes &data) {
    return packageOf(kVersion, kDeviceId, '2', {{1, part}, {delay, data}});
  };
  Bytes tooLong = packageOf(kVersion, kDeviceId, '2', {{1, part}});
  tooLong.insert(tooLong.end(), {1, 0x01, 0x00, 0x80, 0x00});  // 8,388,609 bytes announced
  Bytes shortData = secondPart(1, part);
  shortData.pop_back();
  Bytes headerOnly = packageOf(kVersion, kDeviceId, '1', {});
  headerOnly.resize(40);
  Bytes notLed = PartData(6000, 4);
  notLed[1] = '!';

  struct Case {
    const char *what;
    Bytes file;
    bool inLoop;
    int text;
    bool printerAsked;  // the printer was asked for its product code
  };
  const Case cases[] = {
      {"header of 40 bytes", headerOnly, false, 86, false},
      {"device id in lower case", packageOf(kVersion, "4b56015c", '1', {{1, part}}), false, 81,
       false},
      {"another printer's id", packageOf(kVersion, "4B560110", '1', {{1, part}}), false, 81,
       false},
      {"another firmware version", packageOf("3.01.21", kDeviceId, '1', {{1, part}}), false, 82,
       true},
      // part_count must be a digit: a count no file can meet is refused before any query.
      {"part_count below '0'", packageOf(kVersion, kDeviceId, '/', {{1, part}}), false, 103,
       false},
      {"part_count above '9'", packageOf(kVersion, kDeviceId, 'A', {{1, part}}), false, 103,
       false},
      {"fewer parts than counted", packageOf(kVersion, kDeviceId, '2', {{1, part}}), true, 93,
       true},
      {"pause of 0 seconds", secondPart(0, part), true, 90, true},
      {"pause of 121 seconds", secondPart(121, part), true, 90, true},
      {"part above 8 MiB", tooLong, true, 89, true},
      {"part cut short", shortData, true, 94, true},
      {"part not led by ESC %", secondPart(1, notLed), true, 91, true},
      {"part of one byte", secondPart(1, Bytes(1, 0x1B)), true, 91, true},
      {"part of no bytes", secondPart(1, Bytes()), true, 91, true},
  };
  UpgradePrinter printer(L"015C", 2, 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    size_t before = 0;
    const size_t queriesBefore = printer.record().received.size();
    const SeenRun run = RunFileOn(printer, c.file, &before);
    EXPECT_EQ(run.exitCode, 0u) << "the upgrade thread ends with 0 once it has handed over";
    const std::wstring added = c.inLoop ? FailureInLoop(c.text) : FailureBeforeLoop(c.text);
    EXPECT_TRUE(EndsWith(run.pane, added)) << testing::PrintToString(run.pane);
    EXPECT_EQ(printer.Firmware().size() - before, 0u) << "nothing may reach the printer";
    EXPECT_EQ(printer.record().received.size() > queriesBefore, c.printerAsked);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(run.busyAfter);
  }
}

TEST_F(MultiPartRun, PrinterGoneMidPartFailsTheTransfer) {
  SimulatedPrinterSetup setup;
  setup.productId = L"015C";
  setup.faults.disconnectAfter = 5000;
  UpgradePrinter printer(setup, 1);
  // Writes land in the pipe before the printer reads them: a few more follow the one it drops
  // at before a write fails.
  const Bytes part = PartData(40000, 5);
  Bytes package = MultiPartHeader(kPrinterProductCode, kVersion, kDeviceId, '1');
  AppendPartTo(package, kPrinterProductCode, 1, part);
  FirmwareFile file(L"gone.bin", package);
  UseUpgradeWindow(true);
  printer.Select();
  const SeenRun run = RunUpgrade(file.path());
  EXPECT_TRUE(EndsWith(run.pane, FailureInLoop(87))) << testing::PrintToString(run.pane);
  EXPECT_EQ(printer.Firmware(), Bytes(part.begin(), part.begin() + 5000));
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, UiText(22));
  EXPECT_EQ(run.closeRequests, 1);
}

TEST_F(MultiPartRun, FileThatCannotBeReopenedIsReported) {
  lstrcpynW(app.firmwarePath, TemporaryPath(L"vanished.bin").c_str(), 260);
  AimAt(L"\\\\.\\pipe\\nobody-listens", L"4B56015C");
  SetWindowTextW(app.infoPane, L"Before");
  const SeenRun run = WatchRun([] { return static_cast<DWORD>(RunMultiPartPackage()); });
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.pane, L"Before" + FailureBeforeLoop(85));
}

}  // namespace
