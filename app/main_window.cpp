// The main window: its controls and layout, the menu bar in the current language, command
// dispatch, dropped files, closing, the busy state and the About box.
#include "app/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <initializer_list>

#include "korvex_version.h"

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/language.h"
#include "app/maintenance_worker.h"
#include "app/notice.h"
#include "app/query_worker.h"
#include "app/report.h"
#include "app/upgrade_worker.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(MSGBOXPARAMSW) == 40, "the 32-bit program's About box takes 40 bytes");
#endif

namespace {

constexpr wchar_t kVersion[] = L"" KORVEX_PRODUCT_VERSION_TEXT;
constexpr int kAboutTextUnits = 132;

// Language names stand in their own language and script, whatever the interface language.
const wchar_t *const kLanguageNames[4] = {L"\u0420\u0443\u0441\u0441\u043A\u0438\u0439",
                                          L"English", L"Portugu\u00EAs", L"\u4E2D\u6587"};

// Asks the window's own thread to move the focus (a worker thread cannot set it).

// The eight item bitmaps of the current menu bar, released when the bar is replaced.
HBITMAP menuBitmaps[8];

HFONT CreateFontFromDefault(int height, const wchar_t *faceName) {
  LOGFONTW font = {};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfHeight = height;
  lstrcpynW(font.lfFaceName, faceName, LF_FACESIZE);
  return CreateFontIndirectW(&font);
}

HWND CreateChild(const wchar_t *className, DWORD style, int id) {
  return CreateWindowExW(0, className, nullptr, style, 1, 1, 1, 1, app.mainWindow,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app.instance,
                         nullptr);
}

HWND CreateIconButton(int id, int iconId) {
  HWND button = CreateChild(L"Button", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_ICON, id);
  HANDLE icon = LoadImageW(app.instance, MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                           GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                           LR_SHARED);
  SendMessageW(button, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
  return button;
}

void LayOut(int width, int height) {
  auto s = ScaleForDpi;
  MoveWindow(app.infoPane, s(101), s(6), width - s(136), height - s(52), TRUE);
  MoveWindow(app.progressBar, s(101), height - s(42), width - s(136), s(12), TRUE);
  MoveWindow(app.saveReportButton, width - s(29), s(61), s(24), s(24), TRUE);
  MoveWindow(app.copyReportButton, width - s(29), s(33), s(24), s(24), TRUE);
  MoveWindow(app.openReportButton, width - s(29), s(5), s(24), s(24), TRUE);
  MoveWindow(app.upgradeButton, width - s(204), height - s(25), s(170), s(20), TRUE);
  MoveWindow(app.queryButton, s(100), height - s(25), s(170), s(20), TRUE);
}

HMENU BuildMenuBar(bool withBitmaps) {
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  HMENU settings = CreatePopupMenu();
  HMENU languages = CreatePopupMenu();
  HMENU maintenance = CreatePopupMenu();
  HMENU panelLanguage = CreatePopupMenu();
  HMENU secondSetting = CreatePopupMenu();
  HMENU help = CreatePopupMenu();

  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), UiText(1));
  AppendMenuW(file, MF_STRING, kExitCommand, UiText(2));
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), UiText(3));
  AppendMenuW(settings, MF_POPUP, reinterpret_cast<UINT_PTR>(languages), InternalString(15));
  for (int language = 0; language < kLanguages; ++language) {
    AppendMenuW(languages, MF_STRING | (language == app.currentLanguage ? MF_CHECKED : 0),
                kFirstLanguageCommand + language, kLanguageNames[language]);
  }
  AppendMenuW(settings, MF_POPUP, reinterpret_cast<UINT_PTR>(maintenance), UiText(6));
  AppendMenuW(maintenance, MF_STRING, 600, UiText(7));
  AppendMenuW(maintenance, MF_STRING, 601, UiText(8));
  AppendMenuW(maintenance, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(maintenance, MF_POPUP, reinterpret_cast<UINT_PTR>(panelLanguage), UiText(9));
  for (int i = 0; i < 5; ++i) AppendMenuW(panelLanguage, MF_STRING, 700 + i, InternalString(16 + i));
  AppendMenuW(maintenance, MF_POPUP, reinterpret_cast<UINT_PTR>(secondSetting), UiText(10));
  for (int i = 0; i < 11; ++i) AppendMenuW(secondSetting, MF_STRING, 800 + i, InternalString(21 + i));
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), InternalString(32));
  AppendMenuW(help, MF_STRING, kAboutCommand, UiText(4));

  if (withBitmaps) {
    struct Item {
      HMENU menu;
      UINT position;
      WORD icon;
    };
    const Item items[8] = {{file, 0, 205},        {settings, 0, 206},    {settings, 1, 208},
                           {help, 0, 209},        {maintenance, 0, 210}, {maintenance, 1, 211},
                           {maintenance, 3, 207}, {maintenance, 4, 203}};
    for (int i = 0; i < 8; ++i) {
      menuBitmaps[i] = IconToMenuBitmap(items[i].icon);
      SetMenuItemBitmaps(items[i].menu, items[i].position, MF_BYPOSITION, menuBitmaps[i], nullptr);
    }
  }
  return bar;
}



// A printer operation is being started on this thread. Discovery's menu, a confirmation and the
// file dialog run modal loops that dispatch messages already queued, such as the second click of
// a double click: a second operation must not start over the first's command slots, reply
// buffer and firmware path, neither then nor once the first is running (the busy state).
bool operationStarting = false;

bool PrinterOperationsLocked() { return app.isBusy || operationStarting; }

bool IsPrinterOperation(int id) {
  return id == 600 || id == 601 || (id >= 700 && id <= 704) || (id >= 800 && id <= 810) ||
         id == kQueryButtonId || id == kUpgradeButtonId;
}

// Starts the printer operation of a command, or of a dropped file (id 0).
void StartPrinterOperation(int id) {
  operationStarting = true;
  if (id == 600 || id == 601) {
    RunMaintenanceCommand(id - 599);
  } else if (id >= 700 && id <= 704) {
    RunMaintenanceCommand(id - 697);
  } else if (id >= 800 && id <= 810) {
    RunMaintenanceCommand(id - 792);
  } else if (id == kQueryButtonId) {
    StartInformationQuery();
  } else if (id == kUpgradeButtonId) {
    StartFirmwareUpgrade(2, 1);
  } else {
    StartFirmwareUpgrade(3, 0);
  }
  operationStarting = false;
}

void Dispatch(int id) {
  if (IsPrinterOperation(id)) {
    if (!PrinterOperationsLocked()) StartPrinterOperation(id);
  } else if (id == kOpenReportButtonId) {
    OpenReport();
  } else if (id == kCopyReportButtonId) {
    CopyReport();
  } else if (id == kSaveReportButtonId) {
    SaveReport();
  } else if (id == kAboutCommand) {
    ShowAboutBox();
  } else if (id == kExitCommand) {
    SendMessageW(app.mainWindow, WM_CLOSE, 0, 0);
  } else if (id >= kFirstLanguageCommand && id < kFirstLanguageCommand + kLanguages) {
    app.currentLanguage = id - kFirstLanguageCommand;
    ApplyLanguage();
  }
}

void OnDropFiles(HDROP drop) {
  if (PrinterOperationsLocked() || app.noticeShown) {
    DragFinish(drop);
    return;
  }
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  if (count == 1) {
    ZeroMemory(app.firmwarePath, sizeof app.firmwarePath);
    const UINT fetched = DragQueryFileW(drop, 0, app.firmwarePath, 260);
    DragFinish(drop);
    if (fetched) StartPrinterOperation(0);
  } else {
    DragFinish(drop);
    if (count >= 2) ShowNotice(-1, -1, UiText(23), UiText(22), kNoticeError);
  }
}

void OnDestroy() {
  DeleteFileW(app.reportTempPath);
  RemoveHoverTip(app.openReportButton);
  RemoveHoverTip(app.copyReportButton);
  RemoveHoverTip(app.saveReportButton);
  TOOLINFOW notice = {};
  notice.cbSize = sizeof notice;
  notice.hwnd = app.mainWindow;
  notice.uId = reinterpret_cast<UINT_PTR>(app.noticeTip);
  SendMessageW(app.noticeTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&notice));
  for (HWND window : {app.hoverTip, app.noticeTip, app.headingLabel, app.infoPane,
                      app.queryButton, app.upgradeButton, app.openReportButton,
                      app.copyReportButton, app.saveReportButton, app.progressBar}) {
    DestroyWindow(window);
  }
  KillTimer(app.mainWindow, kNoticeTimer);
  PostQuitMessage(app.unattendedMode ? app.exitCode : 0);
}

}  // namespace

void CreateMainWindowControls() {
  auto s = ScaleForDpi;
  app.buttonFont = CreateFontFromDefault(s(-11), InternalString(2));
  app.textFont = CreateFontFromDefault(s(14), InternalString(3));
  app.headingLabel = CreateWindowExW(0, L"Static", nullptr, WS_CHILD | WS_VISIBLE | SS_RIGHT, 0,
                                     s(8), s(98), s(102), app.mainWindow, nullptr, app.instance,
                                     nullptr);
  app.infoPane = CreateChild(L"Edit",
                             WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_MULTILINE |
                                 ES_AUTOHSCROLL | ES_READONLY,
                             0);
  SendMessageW(app.headingLabel, WM_SETFONT, reinterpret_cast<WPARAM>(app.textFont), TRUE);
  SendMessageW(app.infoPane, WM_SETFONT, reinterpret_cast<WPARAM>(app.textFont), TRUE);
  app.queryButton = CreateChild(L"Button", WS_CHILD | WS_VISIBLE | WS_TABSTOP, kQueryButtonId);
  app.upgradeButton = CreateChild(L"Button", WS_CHILD | WS_VISIBLE | WS_TABSTOP, kUpgradeButtonId);
  SendMessageW(app.queryButton, WM_SETFONT, reinterpret_cast<WPARAM>(app.buttonFont), TRUE);
  SendMessageW(app.upgradeButton, WM_SETFONT, reinterpret_cast<WPARAM>(app.buttonFont), TRUE);
  app.openReportButton = CreateIconButton(kOpenReportButtonId, 202);
  app.copyReportButton = CreateIconButton(kCopyReportButtonId, 203);
  app.saveReportButton = CreateIconButton(kSaveReportButtonId, 204);
  app.progressBar = CreateChild(PROGRESS_CLASSW, WS_CHILD | WS_VISIBLE | WS_BORDER, 0);
  // A blank theme name switches the bar's visual style off: a flat bar without the edge.
  SetWindowTheme(app.progressBar, InternalString(1), InternalString(1));
  SetWindowLongW(app.progressBar, GWL_EXSTYLE,
                 GetWindowLongW(app.progressBar, GWL_EXSTYLE) & ~WS_EX_STATICEDGE);
}

int ApplyLanguage() {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;  // the 284-byte form
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&version));
  SaveLanguage();
  HMENU previousBar = GetMenu(app.mainWindow);
  HBITMAP previousBitmaps[8];
  CopyMemory(previousBitmaps, menuBitmaps, sizeof menuBitmaps);
  ZeroMemory(menuBitmaps, sizeof menuBitmaps);

  // Item bitmaps need Vista or later; older menus draw them badly.
  SetMenu(app.mainWindow, BuildMenuBar(version.dwMajorVersion > 5));
  if (previousBar) DestroyMenu(previousBar);
  for (HBITMAP bitmap : previousBitmaps) {
    if (bitmap) DeleteObject(bitmap);
  }

  SetWindowTextW(app.mainWindow, UiText(0));
  SetWindowTextW(app.headingLabel, UiText(11));
  SetWindowTextW(app.queryButton, UiText(13));
  SetWindowTextW(app.upgradeButton, UiText(14));
  // The icon buttons carry their tip as window text too (an icon button shows only its icon):
  // it is the name a screen reader announces.
  const HWND iconButtons[3] = {app.openReportButton, app.copyReportButton, app.saveReportButton};
  for (int i = 0; i < 3; ++i) {
    SetHoverTip(iconButtons[i], UiText(15 + i));
    SetWindowTextW(iconButtons[i], UiText(15 + i));
  }
  return 0;
}




void ShowAboutBox() {
  // Formatted with room to spare, then cut to what the box's text buffer holds.
  wchar_t formatted[1024];
  wsprintfW(formatted, InternalString(132), UiText(5), kVersion);
  wchar_t text[kAboutTextUnits];
  lstrcpynW(text, formatted, kAboutTextUnits);

  MSGBOXPARAMSW box = {};
  box.cbSize = sizeof box;
  box.hwndOwner = app.mainWindow;
  box.hInstance = app.instance;
  box.lpszText = text;
  box.lpszCaption = UiText(4);
  box.dwStyle = MB_USERICON;
  box.lpszIcon = MAKEINTRESOURCEW(201);
  box.dwLanguageId = 0x0400;
  MessageBoxIndirectW(&box);
}


LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (app.noticeShown && FilterForNotice(message)) return 0;
  if (HandleNoticeRequest(message, lParam)) return 0;
  switch (message) {
    case kFocusQueryButtonMessage:
      SetFocus(app.queryButton);
      return 0;
    case kLeaveBusyStateMessage:
      LeaveBusyState();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_SIZE:
      LayOut(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_CLOSE:
      if (app.isBusy && MessageBoxW(window, UiText(36), UiText(21),
                                    MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) != IDOK) {
        return 0;
      }
      DeleteFileW(app.reportTempPath);
      DestroyWindow(window);
      return 0;
    case WM_GETMINMAXINFO: {
      auto *limits = reinterpret_cast<MINMAXINFO *>(lParam);
      limits->ptMinTrackSize.x = ScaleForDpi(496);
      limits->ptMinTrackSize.y = ScaleForDpi(215);
      return 0;
    }
    case WM_COMMAND:
      Dispatch(LOWORD(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kNoticeTimer) HideNotice();
      return 0;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wParam));
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
