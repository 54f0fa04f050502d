// Maintenance commands on simulated printers, chosen from the real window's menu ids: which
// record each command sends for each family, the confirmation, and the notice that follows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "app/startup.h"
#include "box_answerer.h"
#include "device/discovery.h"
#include "gui_support.h"
#include "printer_test_support.h"

namespace {

class Maintenance : public ProgramOnPrinters {
 protected:
  // Chooses the menu item and serves the window until the worker has left the busy state (or,
  // when no worker is expected, for a moment). Returns the notice text shown at the end.
  static std::wstring Choose(int menuId, bool expectWorker = true) {
    if (expectWorker) {
      EXPECT_TRUE(RunCommandUntilIdle(menuId, 20000));
    } else {
      SendMessageW(app.mainWindow, WM_COMMAND, menuId, 0);
      Pump(300);
    }
    return app.noticeShown ? NoticeText() : L"<no notice>";
  }
};

TEST_F(Maintenance, EachCommandSendsItsRecordForEachFamily) {
  struct Case {
    int menuId;
    const char *family1;
    const char *family2;
  } cases[] = {
      {700, "CMD_F1_LANGUAGE_03", "CMD_SET_LANGUAGE_9"},
      {701, "CMD_F1_LANGUAGE_01", "CMD_SET_LANGUAGE_2"},
      {702, "CMD_F1_LANGUAGE_00", "CMD_SET_LANGUAGE_1"},
      {703, "CMD_F1_LANGUAGE_08", "CMD_SET_LANGUAGE_12"},
      {704, "CMD_F1_LANGUAGE_05", "CMD_SET_LANGUAGE_10"},
      {800, "CMD_FF84_00", "CMD_FF84_00"},
      {805, "CMD_FF84_05", "CMD_FF84_05"},
      {810, "CMD_FF84_0A", "CMD_FF84_0A"},
  };
  for (int family : {1, 2}) {
    PrinterUnderTest printer(Registered(family, family));
    size_t sent = 0;
    for (const Case &c : cases) {
      SCOPED_TRACE(c.menuId);
      BoxAnswerer noQuestion(UiText(21), IDCANCEL, 400);
      EXPECT_EQ(Choose(c.menuId), UiText(3)) << "the success notice";
      EXPECT_FALSE(noQuestion.Result().found) << "commands 3 to 18 never ask";
      const SimulatedPrinterRecord seen = printer.record();
      ASSERT_EQ(seen.received.size(), sent + 1);
      EXPECT_EQ(seen.received.back(), family == 1 ? c.family1 : c.family2);
      ++sent;
      HideNotice();
    }
  }
}

TEST_F(Maintenance, RestoreDefaultsAsksFirstAndCancelSendsNothing) {
  for (int family : {1, 2}) {
    PrinterUnderTest printer(Registered(family, 10 + family));
    {
      BoxAnswerer question(UiText(21), IDCANCEL);
      EXPECT_EQ(Choose(600, false), L"<no notice>");
      AnsweredBox box = question.Result();
      ASSERT_TRUE(box.found);
      EXPECT_EQ(box.text, UiText(33));
      EXPECT_TRUE(printer.record().received.empty());
    }
    {
      BoxAnswerer question(UiText(21), IDOK);
      EXPECT_EQ(Choose(600), UiText(3));
      EXPECT_TRUE(question.Result().found);
      const SimulatedPrinterRecord seen = printer.record();
      ASSERT_EQ(seen.received.size(), 1u);
      EXPECT_EQ(seen.received[0], family == 1 ? "CMD_F1_FF1A" : "CMD_SET_RESTORE_DEFAULT");
    }
    HideNotice();
  }
}

TEST_F(Maintenance, SecondCommandIsOnlyForFamily1) {
  {
    PrinterUnderTest printer(Registered(1, 21));
    BoxAnswerer question(UiText(21), IDOK);
    EXPECT_EQ(Choose(601), UiText(3));
    EXPECT_EQ(printer.record().received, std::vector<std::string>{"CMD_F1_FF00"});
    HideNotice();
  }
  {
    PrinterUnderTest printer(Registered(2, 22));
    BoxAnswerer question(UiText(21), IDOK);
    EXPECT_EQ(Choose(601, false), UiText(8)) << "asked first, then told it is not available";
    EXPECT_TRUE(question.Result().found);
    EXPECT_TRUE(printer.record().received.empty());
    HideNotice();
  }
}

TEST_F(Maintenance, PaneShowsOnlyDotsMeanwhileAndIsRestoredAfter) {
  SimulatedPrinterSetup setup = Registered(2, 31);
  setup.faults.slowWriteMilliseconds = 700;
  PrinterUnderTest printer(setup);
  SetWindowTextW(app.infoPane, L"the text before");
  std::wstring during;
  EXPECT_TRUE(RunCommandUntilIdle(702, 20000, [&] {
    // (The worker clears the pane a moment after it has become busy.)
    const std::wstring now = PaneText();
    if (app.isBusy && !now.empty() && now != L"the text before") during = now;
  }));
  EXPECT_FALSE(during.empty()) << "the ticker showed something";
  EXPECT_EQ(during.find_first_not_of(L'.'), std::wstring::npos) << "only dots: " << during.size();
  EXPECT_EQ(PaneText(), L"the text before");
  HideNotice();
}

// A printer that never answers: a command sent write-only succeeds all the same, one that waits
// for the reply fails with the failure notice.
TEST_F(Maintenance, PrinterThatDoesNotAnswerFailsOnlyTheCommandsThatWaitForAReply) {
  struct Case {
    int family, menuId;
    const wchar_t *notice;
  } cases[] = {
      {2, 703, UiText(30)},  // a panel language, asked as a request
      {1, 800, UiText(3)},   // command 8: written only to a family-1 printer
      {2, 810, UiText(30)},  // command 18: a request to a family-2 printer
  };
  int number = 40;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.menuId);
    SimulatedPrinterSetup setup = Registered(c.family, ++number);
    setup.faults.silent = true;
    PrinterUnderTest printer(setup);
    EXPECT_EQ(Choose(c.menuId), c.notice);
    EXPECT_EQ(printer.record().received.size(), 1u);
    HideNotice();
  }
}

TEST_F(Maintenance, FirmwareOnlyAndRefusedModelsGetTheirNotice) {
  {
    SimulatedPrinterSetup setup = Registered(2, 51);
    setup.productId = L"B002";
    PrinterUnderTest printer(setup);
    EXPECT_EQ(Choose(700, false), InternalString(40));
    EXPECT_TRUE(printer.record().received.empty());
    HideNotice();
  }
  {
    SimulatedPrinterSetup setup = Registered(2, 52);
    setup.productId = L"0301";
    PrinterUnderTest printer(setup);
    EXPECT_EQ(Choose(600, false), InternalString(41)) << "refused before any question";
    EXPECT_TRUE(printer.record().received.empty());
    HideNotice();
  }
}

}  // namespace
