// korvex_tool.exe as scripts/korvex-linux starts it on stand-in printers of a fake usblp driver,
// driven from here as a user would: the query button, the printer menu, the pane, the error box.
// Not a test on its own: tests/linux/bridge_test.sh plugs in the printers each case expects,
// starts the launcher and runs one case of this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "gui_support.h"
#include "printer_test_support.h"

namespace {

constexpr int kQueryButton = 900;
constexpr int kMessageBoxText = 0xFFFF;

// The program the launcher started, switched to English so that its texts are the tables'
// English ones.
class ProgramOnBridgedPrinters : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExpandUiTexts(), 0);
    ASSERT_EQ(ExpandInternalStrings(), 0);
    app.currentLanguage = 1;
    window_ = WaitForProgramWindow(0, 30000, &processId_);
    ASSERT_NE(window_, nullptr) << "the launcher started no korvex_tool.exe";
    SendMessageW(window_, WM_COMMAND, kFirstLanguageCommand + 1, 0);
    pane_ = FindWindowExW(window_, nullptr, L"Edit", nullptr);
    ASSERT_NE(pane_, nullptr);
  }
  // Closed even after a failure, so that the launcher ends and cleans up.
  void TearDown() override {
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
  }

  void Screenshot(const std::wstring &name) {
    RECT area;
    GetWindowRect(window_, &area);
    InflateRect(&area, 4, 4);
    SaveScreenshot(name, area);
  }

  HWND window_ = nullptr;
  HWND pane_ = nullptr;
  DWORD processId_ = 0;
};

// Two printers plugged in (tests/linux/bridge_test.sh: a KB-800dn and an Orbis 300): the menu
// offers both, and the query on each reads every value through the pty.
TEST_F(ProgramOnBridgedPrinters, BothPrintersAreOfferedAndAnswerTheQuery) {
  std::set<std::wstring> names;
  for (int item : {2, 3}) {  // after the menu's title and its separator
    const std::wstring screenshot = L"linux_bridge_menu_" + std::to_wstring(item);
    // Emptied first, so that the text waited for below is this query's.
    SendMessageW(pane_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    MenuDriver menu(item, 20000, item == 2 ? screenshot : L"", processId_);
    PostMessageW(window_, WM_COMMAND, kQueryButton, 0);
    ASSERT_TRUE(menu.Result().shown) << "no printer menu for item " << item;
    std::wstring text;
    for (int waited = 0; waited < 30000; waited += 100) {
      text = WindowTextOf(pane_);
      if (text.find(L"(device code)") != std::wstring::npos) break;
      Sleep(100);
    }
    // Every value read (a failed step leaves '?'); the MAC address came in a data block.
    EXPECT_NE(text.find(L"\r\n00:1B:4B:56:01:2C (MAC address)\r\n"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L'?'), std::wstring::npos) << text;
    names.insert(text.substr(0, text.find(L"\r\n")));
    Screenshot(L"linux_bridge_query_" + std::to_wstring(item));
  }
  EXPECT_EQ(names, (std::set<std::wstring>{L"KB-800dn (4B560140)", L"Orbis 300 (4B56015C)"}));
}

// One printer that takes every packet and answers none: the query fails as on a silent USB
// printer, with the failure box once the first reply has not come in its time.
TEST_F(ProgramOnBridgedPrinters, SilentPrinterEndsInTheFailureBox) {
  const DWORD start = GetTickCount();
  PostMessageW(window_, WM_COMMAND, kQueryButton, 0);
  HWND box = WaitForDialogOf(processId_, UiText(22), 0, 40000);
  const DWORD waited = GetTickCount() - start;
  ASSERT_NE(box, nullptr) << "no failure box; the pane shows " << ::testing::PrintToString(
                                 WindowTextOf(pane_));
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, kMessageBoxText, text, 1024);
  EXPECT_STREQ(text, UiText(31));
  // The first reply is waited for 5 s before the step counts as failed.
  EXPECT_GE(waited, 5000u);
  std::printf("failure box after %lu ms\n", static_cast<unsigned long>(waited));
  Screenshot(L"linux_bridge_silent");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  // The program takes no close request until the query has ended.
  for (int waited = 0; waited < 10000; waited += 100) {
    if (!IsWindow(box) && IsWindowEnabled(GetDlgItem(window_, kQueryButton))) break;
    Sleep(100);
  }
  EXPECT_EQ(WindowTextOf(pane_).substr(0, 21), L"KB-800dn (4B560140)\r\n");
}

}  // namespace
