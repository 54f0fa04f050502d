// The real main window in this process: layout, menus and languages, busy state, notices,
// dropped files, closing, keyboard in the pane, and the About box.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "app/startup.h"
#include "box_answerer.h"
#include "gui_support.h"

namespace {

int s(int n) { return ScaleForDpi(n); }

// The DPI this run expects (CTest runs the layout cases again in a 144-dpi Wine prefix).
int ExpectedDpi() {
  const char *dpi = std::getenv("KORVEX_EXPECTED_DPI");
  return dpi ? std::atoi(dpi) : 96;
}

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartProgramWindowOnce(); }
  void SetUp() override {
    ASSERT_TRUE(IsWindow(app.mainWindow));
    if (app.noticeShown) HideNotice();
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + 1, 0);  // English
    Pump(50);
  }

  // An HDROP holding the given file names, as the shell hands it to the window.
  static HDROP MakeDrop(const std::vector<std::wstring> &names) {
    size_t units = 1;
    for (const auto &name : names) units += name.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + units * sizeof(wchar_t));
    auto *drop = static_cast<DROPFILES *>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto *next = reinterpret_cast<wchar_t *>(drop + 1);
    for (const auto &name : names) {
      lstrcpyW(next, name.c_str());
      next += name.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
  }
};

void ExpectRect(HWND control, int x, int y, int width, int height, const char *what) {
  const RECT r = RectInParent(control);
  EXPECT_EQ(r.left, x) << what;
  EXPECT_EQ(r.top, y) << what;
  EXPECT_EQ(r.right - r.left, width) << what;
  EXPECT_EQ(r.bottom - r.top, height) << what;
}

void ExpectLayoutFor(int w, int h) {
  ExpectRect(app.infoPane, s(101), s(6), w - s(136), h - s(52), "information pane");
  ExpectRect(app.progressBar, s(101), h - s(42), w - s(136), s(12), "progress bar");
  ExpectRect(app.saveReportButton, w - s(29), s(61), s(24), s(24), "button 904");
  ExpectRect(app.copyReportButton, w - s(29), s(33), s(24), s(24), "button 903");
  ExpectRect(app.openReportButton, w - s(29), s(5), s(24), s(24), "button 902");
  ExpectRect(app.upgradeButton, w - s(204), h - s(25), s(170), s(20), "button 901");
  ExpectRect(app.queryButton, s(100), h - s(25), s(170), s(20), "button 900");
  ExpectRect(app.headingLabel, 0, s(8), s(98), s(102), "heading label");
}

TEST_F(MainWindow, ControlsFollowTheWindowSizeDownToTheMinimum) {
  ASSERT_EQ(app.screenDpi, ExpectedDpi());
  EXPECT_FALSE(IsWindowVisible(app.progressBar)) << "the bar shows only while busy";

  RECT window;
  GetWindowRect(app.mainWindow, &window);
  EXPECT_EQ(window.right - window.left, s(622));
  EXPECT_EQ(window.bottom - window.top, s(215));

  for (SIZE size : {SIZE{s(900), s(420)}, SIZE{s(622), s(215)}, SIZE{10, 10}}) {
    SetWindowPos(app.mainWindow, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    Pump(20);
    RECT client;
    GetClientRect(app.mainWindow, &client);
    ExpectLayoutFor(client.right, client.bottom);
  }
  // The last size asked for less than the minimum tracking size.
  GetWindowRect(app.mainWindow, &window);
  EXPECT_EQ(window.right - window.left, s(496));
  EXPECT_EQ(window.bottom - window.top, s(215));
  // At the minimum the command buttons still stand side by side.
  EXPECT_LT(RectInParent(app.queryButton).right, RectInParent(app.upgradeButton).left);

  const int smallIcon = ExpectedDpi() == 96 ? 16 : 32;
  ICONINFO info = {};
  ASSERT_TRUE(GetIconInfo(reinterpret_cast<HICON>(GetClassLongPtrW(app.mainWindow, GCLP_HICONSM)),
                          &info));
  BITMAP mask = {};
  GetObjectW(info.hbmMask, sizeof mask, &mask);
  // Above 96 dpi the program asks for 32x32; Wine may hand out a larger copy of the shared
  // icon scaled to the screen, never the 16x16 one.
  if (smallIcon == 16) {
    EXPECT_EQ(mask.bmWidth, 16) << "class small icon";
  } else {
    EXPECT_GE(mask.bmWidth, smallIcon) << "class small icon";
  }
  DeleteObject(info.hbmMask);
  if (info.hbmColor) DeleteObject(info.hbmColor);
}

std::wstring MenuText(HMENU menu, int position) {
  wchar_t text[256] = {};
  GetMenuStringW(menu, position, text, 256, MF_BYPOSITION);
  return text;
}

TEST_F(MainWindow, MenuBarIsRebuiltInEachLanguageWithItsCheckMark) {
  const wchar_t *const languageNames[4] = {L"\u0420\u0443\u0441\u0441\u043A\u0438\u0439",
                                           L"English", L"Portugu\u00EAs", L"\u4E2D\u6587"};
  for (int language : {0, 2, 3, 1}) {
    HMENU before = GetMenu(app.mainWindow);
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
    HMENU bar = GetMenu(app.mainWindow);
    EXPECT_NE(bar, before) << "a new menu bar";
    EXPECT_EQ(app.currentLanguage, language);
    EXPECT_EQ(SavedLanguageValue(), std::wstring(1, L'0' + language));

    ASSERT_EQ(GetMenuItemCount(bar), 3);
    EXPECT_EQ(MenuText(bar, 0), UiText(1));
    EXPECT_EQ(MenuText(bar, 1), UiText(3));
    EXPECT_EQ(MenuText(bar, 2), InternalString(32));
    HMENU file = GetSubMenu(bar, 0), settings = GetSubMenu(bar, 1), help = GetSubMenu(bar, 2);
    EXPECT_EQ(GetMenuItemID(file, 0), static_cast<UINT>(kExitCommand));
    EXPECT_EQ(MenuText(file, 0), UiText(2));
    EXPECT_EQ(GetMenuItemID(help, 0), static_cast<UINT>(kAboutCommand));
    EXPECT_EQ(MenuText(help, 0), UiText(4));

    HMENU languages = GetSubMenu(settings, 0);
    EXPECT_EQ(MenuText(settings, 0), InternalString(15));
    ASSERT_EQ(GetMenuItemCount(languages), 4);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(GetMenuItemID(languages, i), static_cast<UINT>(kFirstLanguageCommand + i));
      EXPECT_EQ(MenuText(languages, i), languageNames[i]);
      EXPECT_EQ((GetMenuState(languages, i, MF_BYPOSITION) & MF_CHECKED) != 0, i == language)
          << "check mark on language " << i;
    }

    HMENU maintenance = GetSubMenu(settings, 1);
    EXPECT_EQ(MenuText(settings, 1), UiText(6));
    ASSERT_EQ(GetMenuItemCount(maintenance), 5);
    EXPECT_EQ(GetMenuItemID(maintenance, 0), 600u);
    EXPECT_EQ(MenuText(maintenance, 0), UiText(7));
    EXPECT_EQ(GetMenuItemID(maintenance, 1), 601u);
    EXPECT_EQ(MenuText(maintenance, 1), UiText(8));
    EXPECT_TRUE(GetMenuState(maintenance, 2, MF_BYPOSITION) & MF_SEPARATOR);
    HMENU panel = GetSubMenu(maintenance, 3), setting = GetSubMenu(maintenance, 4);
    EXPECT_EQ(MenuText(maintenance, 3), UiText(9));
    EXPECT_EQ(MenuText(maintenance, 4), UiText(10));
    ASSERT_EQ(GetMenuItemCount(panel), 5);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(GetMenuItemID(panel, i), static_cast<UINT>(700 + i));
      EXPECT_EQ(MenuText(panel, i), InternalString(16 + i));
    }
    ASSERT_EQ(GetMenuItemCount(setting), 11);
    for (int i = 0; i < 11; ++i) {
      EXPECT_EQ(GetMenuItemID(setting, i), static_cast<UINT>(800 + i));
      EXPECT_EQ(MenuText(setting, i), InternalString(21 + i));
    }

    // The eight items with pictures.
    struct Pictured {
      HMENU menu;
      int position;
    };
    for (Pictured item : {Pictured{file, 0}, Pictured{settings, 0}, Pictured{settings, 1},
                          Pictured{help, 0}, Pictured{maintenance, 0}, Pictured{maintenance, 1},
                          Pictured{maintenance, 3}, Pictured{maintenance, 4}}) {
      MENUITEMINFOW info = {};
      info.cbSize = sizeof info;
      info.fMask = MIIM_CHECKMARKS;
      ASSERT_TRUE(GetMenuItemInfoW(item.menu, item.position, TRUE, &info));
      EXPECT_NE(info.hbmpUnchecked, nullptr) << MenuText(item.menu, item.position).size();
      EXPECT_EQ(info.hbmpChecked, nullptr);
    }

    wchar_t text[256];
    GetWindowTextW(app.mainWindow, text, 256);
    EXPECT_STREQ(text, UiText(0));
    GetWindowTextW(app.headingLabel, text, 256);
    EXPECT_STREQ(text, UiText(11));
    GetWindowTextW(app.queryButton, text, 256);
    EXPECT_STREQ(text, UiText(13));
    GetWindowTextW(app.upgradeButton, text, 256);
    EXPECT_STREQ(text, UiText(14));
  }
}

TEST_F(MainWindow, ChoosingTheLanguageInUseStillRebuildsAndSaves) {
  HMENU before = GetMenu(app.mainWindow);
  RegDeleteKeyW(HKEY_CURRENT_USER, InternalString(11));
  ASSERT_EQ(SavedLanguageValue(), L"<none>");
  SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + 1, 0);
  EXPECT_NE(GetMenu(app.mainWindow), before);
  EXPECT_EQ(SavedLanguageValue(), L"1");
  // The pane's content is not touched by a language change.
  SetWindowTextW(app.infoPane, L"kept");
  SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + 2, 0);
  wchar_t text[16];
  GetWindowTextW(app.infoPane, text, 16);
  EXPECT_STREQ(text, L"kept");
}

TEST_F(MainWindow, BusyStateLocksButtonsMenusAndDrops) {
  RunOnWorker([] { EnterBusyState(1); });
  EXPECT_EQ(app.isBusy, 1);
  for (HWND button : {app.queryButton, app.upgradeButton, app.openReportButton,
                      app.copyReportButton, app.saveReportButton}) {
    EXPECT_FALSE(IsWindowEnabled(button));
  }
  EXPECT_TRUE(IsWindowEnabled(app.infoPane));
  EXPECT_TRUE(IsWindowVisible(app.progressBar));
  HMENU bar = GetMenu(app.mainWindow);
  for (int position = 0; position < 3; ++position) {
    const UINT state = GetMenuState(bar, position, MF_BYPOSITION);
    EXPECT_TRUE(state & MF_DISABLED) << "top-level menu " << position;
    EXPECT_FALSE(state & MF_GRAYED) << "disabled, not greyed";
  }
  // A drop of several files while busy shows nothing.
  SendMessageW(app.mainWindow, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({L"C:\\a.bin", L"C:\\b.bin"})), 0);
  EXPECT_EQ(app.noticeShown, 0);

  RunOnWorker([] { LeaveBusyState(); });
  EXPECT_EQ(app.isBusy, 0);
  EXPECT_TRUE(IsWindowEnabled(app.queryButton));
  EXPECT_TRUE(IsWindowEnabled(app.saveReportButton));
  EXPECT_FALSE(IsWindowVisible(app.progressBar));
  EXPECT_FALSE(GetMenuState(bar, 1, MF_BYPOSITION) & MF_DISABLED);
  EXPECT_TRUE(IsWindow(app.mainWindow)) << "not unattended: no close request";

  // Busy without progress keeps the bar hidden.
  RunOnWorker([] { EnterBusyState(0); });
  EXPECT_FALSE(IsWindowVisible(app.progressBar));
  RunOnWorker([] { LeaveBusyState(); });
}

TEST_F(MainWindow, DropOfSeveralFilesShowsTheNoticeUntilTheTimerHidesIt) {
  SendMessageW(app.mainWindow, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({L"C:\\a.bin", L"C:\\b.bin"})), 0);
  ASSERT_EQ(app.noticeShown, 1);
  EXPECT_TRUE(IsWindowVisible(app.noticeTip));
  EXPECT_EQ(NoticeText(), UiText(23));

  // At the default place: just inside the information pane's top-left corner, the same place
  // as a notice asked for there explicitly (the tip keeps its own small offset from the point).
  RECT atDefault, atPoint;
  GetWindowRect(app.noticeTip, &atDefault);
  POINT origin = {0, 0};
  ClientToScreen(app.mainWindow, &origin);
  ShowNotice(origin.x + s(105), origin.y + s(10), UiText(23), UiText(22), kNoticeError);
  GetWindowRect(app.noticeTip, &atPoint);
  EXPECT_EQ(atDefault.left, atPoint.left);
  EXPECT_EQ(atDefault.top, atPoint.top);
  EXPECT_LE(std::abs(atDefault.left - (origin.x + s(105))), 2);
  EXPECT_LE(std::abs(atDefault.top - (origin.y + s(10))), 2);

  // A drop while the notice shows does nothing at all.
  ShowNotice(-1, -1, L"first notice", UiText(20), kNoticeInformation);
  SendMessageW(app.mainWindow, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({L"C:\\a.bin", L"C:\\b.bin"})), 0);
  EXPECT_EQ(NoticeText(), L"first notice");

  Pump(1000);
  EXPECT_EQ(app.noticeShown, 1) << "still showing after 1000 ms";
  EXPECT_TRUE(PumpUntil([] { return app.noticeShown == 0; }, 1500)) << "hidden after 1500 ms";
  EXPECT_FALSE(IsWindowVisible(app.noticeTip));
}

TEST_F(MainWindow, ClickDismissesANoticeUnlessBusy) {
  ShowNotice(-1, -1, UiText(29), UiText(22), kNoticeError);
  SendMessageW(app.queryButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(app.queryButton, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(app.noticeShown, 0) << "the click only hides the notice";
  EXPECT_FALSE(IsWindowVisible(app.noticeTip));

  RunOnWorker([] { EnterBusyState(0); });
  ShowNotice(-1, -1, UiText(29), UiText(22), kNoticeError);
  SendMessageW(app.queryButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(app.infoPane, WM_KEYDOWN, VK_SPACE, 0);
  SendMessageW(app.mainWindow, WM_RBUTTONDOWN, 0, 0);
  EXPECT_EQ(app.noticeShown, 1) << "while busy, clicks and keys leave the notice";
  EXPECT_TRUE(PumpUntil([] { return app.noticeShown == 0; }, 2500)) << "the timer still hides it";
  RunOnWorker([] { LeaveBusyState(); });
}

TEST_F(MainWindow, NoticeFromAWorkerThreadIsHiddenOnTime) {
  RunOnWorker([] { ShowNotice(-1, -1, UiText(3), UiText(20), kNoticeInformation); });
  ASSERT_EQ(app.noticeShown, 1);
  EXPECT_EQ(NoticeText(), UiText(3));
  const DWORD start = GetTickCount();
  ASSERT_TRUE(PumpUntil([] { return app.noticeShown == 0; }, 3000));
  EXPECT_GE(GetTickCount() - start, 1300u);
}

TEST_F(MainWindow, PaneKeysSelectAllAndTabToTheQueryButton) {
  SetWindowTextW(app.infoPane, L"line one\r\nline two");
  SetFocus(app.infoPane);
  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  SendMessageW(app.infoPane, WM_KEYDOWN, 'A', 0);
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
  DWORD from = 1, to = 0;
  SendMessageW(app.infoPane, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
               reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(from, 0u);
  EXPECT_EQ(to, 18u);

  SendMessageW(app.infoPane, WM_KEYDOWN, VK_TAB, 0);
  EXPECT_EQ(GetFocus(), app.queryButton);
  // Shift+Tab too: the pane looks only at the key code.
  SetFocus(app.infoPane);
  keys[VK_SHIFT] = 0x80;
  SetKeyboardState(keys);
  SendMessageW(app.infoPane, WM_KEYDOWN, VK_TAB, 0);
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);
  EXPECT_EQ(GetFocus(), app.queryButton);
}

TEST_F(MainWindow, AboutBoxShowsTheVersion) {
  for (int language : {1, 0}) {
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
    BoxAnswerer answerer(UiText(4));
    PostMessageW(app.mainWindow, WM_COMMAND, kAboutCommand, 0);
    AnsweredBox box;
    PumpUntil([&] { return false; }, 0);
    // The box runs its own modal loop inside the dispatch below.
    Pump(200);
    box = answerer.Result();
    ASSERT_TRUE(box.found);
    EXPECT_EQ(box.owner, app.mainWindow);
    EXPECT_EQ(box.text, std::wstring(UiText(5)) + L": 2.91");
  }
}

std::wstring HoverText(HWND button) {
  wchar_t text[512] = {};
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.hwnd = app.mainWindow;
  tool.uId = reinterpret_cast<UINT_PTR>(button);
  tool.lpszText = text;
  SendMessageW(app.hoverTip, TTM_GETTEXTW, 512, reinterpret_cast<LPARAM>(&tool));
  return text;
}

// The tips are also the buttons' names (their window text), which screen readers announce.
TEST_F(MainWindow, HoverTipsAndNamesOfTheReportButtonsFollowTheLanguage) {
  for (int language : {3, 0, 1}) {
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
    EXPECT_EQ(SendMessageW(app.hoverTip, TTM_GETTOOLCOUNT, 0, 0), 3) << "one tool per button";
    const HWND buttons[3] = {app.openReportButton, app.copyReportButton, app.saveReportButton};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(HoverText(buttons[i]), UiText(15 + i));
      EXPECT_EQ(WindowTextOf(buttons[i]), UiText(15 + i));
      EXPECT_NE(SendMessageW(buttons[i], BM_GETIMAGE, IMAGE_ICON, 0), 0) << "the icon stays";
    }
  }
}

TEST_F(MainWindow, DropOfOneFileTakesItsFullName) {
  const std::wstring name = L"C:\\firmware\\KL-1220dnw.kfw";
  lstrcpyW(app.firmwarePath, L"stale text that is longer than the new name, to be cleared");
  SendMessageW(app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({name})), 0);
  EXPECT_EQ(std::wstring(app.firmwarePath), name);
  EXPECT_EQ(app.firmwarePath[name.size() + 1], 0) << "the buffer was cleared first";
  EXPECT_EQ(app.unattendedMode, 0) << "a drop is not unattended";
  // The drop started an upgrade, whose discovery finds no printer here and says so; one file
  // is not refused as several.
  EXPECT_EQ(NoticeText(), UiText(29));
  HideNotice();
}

TEST_F(MainWindow, CommandLineWithOnePathStartsUnattendedAndCutsLongPaths) {
  std::wstring longPath = L"C:\\" + std::wstring(300, L'p') + L".bin";
  // The upgrade it starts finds no printer here and, unattended, says so in a box.
  BoxAnswerer noPrinter(UiText(22));
  ASSERT_EQ(ActOnCommandLine((L"korvex_tool.exe \"" + longPath + L"\"").c_str()), 0);
  EXPECT_TRUE(noPrinter.Result().found);
  EXPECT_EQ(app.unattendedMode, 1);
  EXPECT_EQ(std::wstring(app.firmwarePath), longPath.substr(0, 259));

  // In unattended mode leaving the busy state closes the program without asking.
  RunOnWorker([] { EnterBusyState(1); });
  RunOnWorker([] { LeaveBusyState(); });
  EXPECT_TRUE(PumpUntil([] { return !IsWindow(app.mainWindow); }, 3000));
  app.unattendedMode = 0;
}

TEST_F(MainWindow, CommandLineWithoutArgumentsChangesNothing) {
  ASSERT_EQ(ActOnCommandLine(L"korvex_tool.exe"), 0);
  EXPECT_EQ(app.unattendedMode, 0);
  EXPECT_TRUE(IsWindow(app.mainWindow));
}

TEST_F(MainWindow, SecondStartFailsAtTheWindowClassWithError1) {
  // The class of the running window is registered already, so a second start cannot register
  // it: the "Init" box, then exit code 1.
  BoxAnswerer answerer(L"Init");
  EXPECT_EQ(StartUp(GetModuleHandleW(nullptr)), 1);
  AnsweredBox box = answerer.Result();
  ASSERT_TRUE(box.found);
  EXPECT_EQ(box.text, L"Error #1");
  EXPECT_EQ(box.owner, nullptr);
}

TEST_F(MainWindow, CloseWhileBusyAsksFirst) {
  wchar_t directory[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  GetTempFileNameW(directory, L"kvx", 0, app.reportTempPath);
  ASSERT_NE(GetFileAttributesW(app.reportTempPath), INVALID_FILE_ATTRIBUTES);

  RunOnWorker([] { EnterBusyState(1); });
  {
    BoxAnswerer cancel(UiText(21), IDCANCEL);
    PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
    Pump(300);
    AnsweredBox box = cancel.Result();
    ASSERT_TRUE(box.found);
    EXPECT_EQ(box.text, UiText(36));
    Pump(100);
    EXPECT_TRUE(IsWindow(app.mainWindow)) << "Cancel keeps the window";
    EXPECT_NE(GetFileAttributesW(app.reportTempPath), INVALID_FILE_ATTRIBUTES);
  }
  {
    BoxAnswerer ok(UiText(21), IDOK);
    PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
    Pump(300);
    ASSERT_TRUE(ok.Result().found);
  }
  ASSERT_TRUE(PumpUntil([] { return !IsWindow(app.mainWindow); }, 3000)) << "OK closes";
  EXPECT_EQ(GetFileAttributesW(app.reportTempPath), INVALID_FILE_ATTRIBUTES)
      << "the temporary report file is deleted";
  int code = -1;
  EXPECT_TRUE(QuitReceived(&code)) << "the message loop is told to end";
  EXPECT_EQ(code, 0);
}

}  // namespace

namespace {

// Screenshots of what a user sees, saved under the build tree for people to look at. They
// also check that every caption fits: a text wider than its control is reported.
void ExpectTextFits(HWND control, HFONT font, int padding, const char *what) {
  wchar_t text[512];
  GetWindowTextW(control, text, 512);
  RECT client;
  GetClientRect(control, &client);
  HDC dc = GetDC(control);
  HGDIOBJ previous = SelectObject(dc, font);
  RECT needed = {0, 0, 0, 0};
  DrawTextW(dc, text, -1, &needed, DT_CALCRECT);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  EXPECT_LE(needed.right - needed.left + padding, client.right) << what << " is too narrow";
  EXPECT_LE(needed.bottom - needed.top, client.bottom) << what << " is too low";
}

// One character drawn black on white in a font, as pixels.
std::vector<unsigned char> GlyphPixels(HFONT font, wchar_t character) {
  constexpr int kSide = 96;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = kSide;
  info.bmiHeader.biHeight = -kSide;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  HDC dc = CreateCompatibleDC(nullptr);
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previousBitmap = SelectObject(dc, bitmap);
  HGDIOBJ previousFont = SelectObject(dc, font);
  PatBlt(dc, 0, 0, kSide, kSide, WHITENESS);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  TextOutW(dc, 4, 4, &character, 1);
  GdiFlush();
  const auto *pixels = static_cast<const unsigned char *>(bits);
  std::vector<unsigned char> glyph(pixels, pixels + kSide * kSide * 4);
  SelectObject(dc, previousFont);
  SelectObject(dc, previousBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return glyph;
}

// Every character of the text beyond ASCII comes out as a glyph of its own: a face that lacks
// it, with no linked face that has it, draws the same empty box as for a code point that no
// font has (U+FFFF), or nothing at all.
void ExpectGlyphsDrawn(HFONT font, const std::wstring &text, const char *what) {
  const std::vector<unsigned char> box = GlyphPixels(font, 0xFFFF);
  const std::vector<unsigned char> blank = GlyphPixels(font, L' ');
  for (wchar_t character : text) {
    if (character < 0x80) continue;
    const std::vector<unsigned char> glyph = GlyphPixels(font, character);
    EXPECT_TRUE(glyph != box) << what << ": U+" << std::hex << static_cast<int>(character)
                              << " is drawn as a box";
    EXPECT_TRUE(glyph != blank) << what << ": U+" << std::hex << static_cast<int>(character)
                                << " is not drawn";
  }
}

void ExpectMenuBarGlyphsDrawn() {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  HFONT menuFont = CreateFontIndirectW(&metrics.lfMenuFont);
  HMENU bar = GetMenu(app.mainWindow);
  for (int item = 0; item < GetMenuItemCount(bar); ++item) {
    wchar_t caption[128] = {};
    GetMenuStringW(bar, item, caption, 128, MF_BYPOSITION);
    ExpectGlyphsDrawn(menuFont, caption, "menu bar");
  }
  DeleteObject(menuFont);
}

std::wstring DpiSuffix() { return ExpectedDpi() == 96 ? L"" : L"_" + std::to_wstring(ExpectedDpi()) + L"dpi"; }

RECT WindowArea() {
  RECT area;
  GetWindowRect(app.mainWindow, &area);
  InflateRect(&area, 4, 4);
  return area;
}

TEST_F(MainWindow, ScreenshotsOfTheIdleWindowInEachLanguage) {
  ASSERT_EQ(app.screenDpi, ExpectedDpi());
  const wchar_t *const codes[4] = {L"ru", L"en", L"pt", L"zh"};
  SetWindowPos(app.mainWindow, nullptr, 0, 0, s(622), s(215), SWP_NOMOVE | SWP_NOZORDER);
  for (int language = 0; language < 4; ++language) {
    SendMessageW(app.mainWindow, WM_COMMAND, kFirstLanguageCommand + language, 0);
    SetWindowTextW(app.infoPane, L"");
    RedrawWindow(app.mainWindow, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(300);
    SaveScreenshot(L"idle_" + std::wstring(codes[language]) + DpiSuffix(), WindowArea());
    ExpectTextFits(app.queryButton, app.buttonFont, 8, "button 900");
    ExpectTextFits(app.upgradeButton, app.buttonFont, 8, "button 901");
    ExpectTextFits(app.headingLabel, app.textFont, 0, "heading label");
    ExpectGlyphsDrawn(app.buttonFont, WindowTextOf(app.queryButton), "button 900");
    ExpectGlyphsDrawn(app.buttonFont, WindowTextOf(app.upgradeButton), "button 901");
    ExpectGlyphsDrawn(app.textFont, WindowTextOf(app.headingLabel), "heading label");
    ExpectMenuBarGlyphsDrawn();
  }
}

volatile LONG menuShotTaken = 0;
HMENU openMenus[8];
int openMenuCount = 0;

// Notes the menus open on this thread: each shows in a popup menu window.
BOOL CALLBACK NoteOpenMenu(HWND window, LPARAM) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (lstrcmpW(className, L"#32768") == 0 && IsWindowVisible(window) && openMenuCount < 8) {
    openMenus[openMenuCount++] = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
  }
  return TRUE;
}

// Runs on the window's thread inside the menu loop, which dispatches timer messages.
void CALLBACK TakeMenuShot(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  openMenuCount = 0;
  EnumThreadWindows(GetCurrentThreadId(), NoteOpenMenu, 0);
  RECT area = WindowArea();
  area.right += s(420);
  area.bottom += s(160);
  SaveScreenshot(L"maintenance_menu" + DpiSuffix(), area);
  InterlockedExchange(&menuShotTaken, 1);
  EndMenu();
}

TEST_F(MainWindow, ScreenshotWithTheMaintenanceSubmenuOpen) {
  ASSERT_EQ(app.screenDpi, ExpectedDpi());
  // Room on the right for the submenus.
  SetWindowPos(app.mainWindow, nullptr, 20, 20, s(622), s(215), SWP_NOZORDER);
  // The keyboard reaches the menu bar of the active window only (CTest runs this test alone, so
  // that no window of another test holds the display's focus).
  ASSERT_TRUE(PumpUntil([] {
    SetForegroundWindow(app.mainWindow);
    return GetForegroundWindow() == app.mainWindow;
  }, 3000));
  // Keyboard into the menu bar: File, right to the second menu, open it, down to the
  // maintenance submenu, open that; the picture is taken from inside the menu loop.
  PostMessageW(app.mainWindow, WM_SYSCOMMAND, SC_KEYMENU, 0);
  for (WPARAM key : {VK_RIGHT, VK_DOWN, VK_DOWN, VK_RIGHT}) {
    PostMessageW(app.mainWindow, WM_KEYDOWN, key, 0);
  }
  SetTimer(app.mainWindow, 77, 1000, TakeMenuShot);
  ASSERT_TRUE(PumpUntil([] { return menuShotTaken != 0; }, 10000));
  Pump(200);
  // The picture shows the second menu with its maintenance submenu open.
  HMENU settings = GetSubMenu(GetMenu(app.mainWindow), 1);
  HMENU *const end = openMenus + openMenuCount;
  EXPECT_NE(std::find(openMenus, end, settings), end) << "the second menu is open";
  EXPECT_NE(std::find(openMenus, end, GetSubMenu(settings, 1)), end) << "its submenu is open";
}

}  // namespace
