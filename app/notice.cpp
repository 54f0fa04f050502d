// Notices, hover tips, the input filter that keeps input away while busy or dismisses a notice,
// the subclassed pane and buttons, and icons drawn into menu bitmaps.
#include "app/notice.h"

#include <commctrl.h>

#include <initializer_list>

#include "app/app_state.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(TOOLINFOW) == 48, "tool descriptions are the 48-byte form");
#endif

namespace {

constexpr UINT kHoverToolFlags = TTF_IDISHWND | TTF_SUBCLASS;                        // 0x11
constexpr UINT kNoticeToolFlags = TTF_IDISHWND | TTF_SUBCLASS | TTF_TRACK | TTF_ABSOLUTE;  // 0xB1

// A notice asked for by a worker thread is shown by the window's own thread: only that thread
// may start the hide timer of the main window.
constexpr UINT kShowNoticeMessage = WM_APP + 1;

struct NoticeRequest {
  int x, y;
  const wchar_t *text;
  const wchar_t *title;
  int icon;
};

TOOLINFOW ToolFor(UINT flags, HWND id, const wchar_t *text) {
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.uFlags = flags;
  tool.hwnd = app.mainWindow;
  tool.uId = reinterpret_cast<UINT_PTR>(id);
  tool.lpszText = const_cast<wchar_t *>(text);
  return tool;
}

HWND CreateTip() {
  return CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                         app.mainWindow, nullptr, app.instance, nullptr);
}

bool OnWindowThread() {
  return GetWindowThreadProcessId(app.mainWindow, nullptr) == GetCurrentThreadId();
}

LRESULT CALLBACK PreviousProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return CallWindowProcW(previous, window, message, wParam, lParam);
}

LRESULT CALLBACK InfoPaneProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN && wParam == VK_TAB) {
    SetFocus(app.queryButton);
    return 0;
  }
  if (message == WM_KEYDOWN && wParam == 'A' && (GetKeyState(VK_CONTROL) & 0x8000)) {
    SendMessageW(window, EM_SETSEL, 0, -1);
    return 0;
  }
  if (FilterForNotice(message)) return 0;
  return PreviousProcedure(window, message, wParam, lParam);
}

LRESULT CALLBACK ButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (FilterForNotice(message)) return 0;
  return PreviousProcedure(window, message, wParam, lParam);
}

void Subclass(HWND control, WNDPROC procedure) {
  // The previous procedure rides in the control's user data, so every control keeps its own.
  LONG_PTR previous = GetWindowLongPtrW(control, GWLP_WNDPROC);
  SetWindowLongPtrW(control, GWLP_USERDATA, previous);
  SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
}

}  // namespace

void CreateTooltipWindows() {
  app.hoverTip = CreateTip();
  app.noticeTip = CreateTip();
}

void SubclassControls() {
  Subclass(app.infoPane, InfoPaneProc);
  for (HWND button : {app.queryButton, app.upgradeButton, app.openReportButton,
                      app.copyReportButton, app.saveReportButton}) {
    Subclass(button, ButtonProc);
  }
}

void RemoveHoverTip(HWND button) {
  TOOLINFOW tool = ToolFor(kHoverToolFlags, button, nullptr);
  SendMessageW(app.hoverTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void SetHoverTip(HWND button, const wchar_t *text) {
  RemoveHoverTip(button);
  TOOLINFOW tool = ToolFor(kHoverToolFlags, button, text);
  SendMessageW(app.hoverTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

int ShowNotice(int x, int y, const wchar_t *text, const wchar_t *title, int icon) {
  if (!OnWindowThread()) {
    NoticeRequest request = {x, y, text, title, icon};
    SendMessageW(app.mainWindow, kShowNoticeMessage, 0, reinterpret_cast<LPARAM>(&request));
    return 0;
  }
  InterlockedExchange(&app.noticeShown, 1);
  if (x == -1 && y == -1) {
    POINT origin = {0, 0};
    MapWindowPoints(app.mainWindow, GetParent(app.mainWindow), &origin, 1);
    x = origin.x + ScaleForDpi(105);
    y = origin.y + ScaleForDpi(10);
  }
  TOOLINFOW tool = ToolFor(kNoticeToolFlags, app.noticeTip, text);
  SendMessageW(app.noticeTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(app.noticeTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(app.noticeTip, TTM_SETTITLEW, icon, reinterpret_cast<LPARAM>(title));
  SendMessageW(app.noticeTip, TTM_TRACKPOSITION, 0, MAKELPARAM(x & 0xFFFF, y & 0xFFFF));
  SendMessageW(app.noticeTip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
  SetTimer(app.mainWindow, kNoticeTimer, kNoticeMilliseconds, nullptr);
  return 0;
}

// Serves notices requested from worker threads; called by the main window procedure.
bool HandleNoticeRequest(UINT message, LPARAM lParam) {
  if (message != kShowNoticeMessage) return false;
  const auto *request = reinterpret_cast<const NoticeRequest *>(lParam);
  ShowNotice(request->x, request->y, request->text, request->title, request->icon);
  return true;
}

void HideNotice() {
  TOOLINFOW tool = ToolFor(kNoticeToolFlags, app.noticeTip, nullptr);
  SendMessageW(app.noticeTip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
  KillTimer(app.mainWindow, kNoticeTimer);
  InterlockedExchange(&app.noticeShown, 0);
}

int FilterForNotice(UINT message) {
  switch (message) {
    case WM_WINDOWPOSCHANGED:
    case WM_KEYDOWN:
    case WM_INITMENUPOPUP:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
      break;
    default:
      return 0;
  }
  if (app.isBusy) return 1;
  if (app.noticeShown) {
    HideNotice();
    return 1;
  }
  return 0;
}

HBITMAP IconToMenuBitmap(WORD iconId) {
  const int cx = GetSystemMetrics(SM_CXSMICON);
  const int cy = GetSystemMetrics(SM_CYSMICON);
  HDC screen = GetDC(nullptr);
  HICON icon = static_cast<HICON>(
      LoadImageW(app.instance, MAKEINTRESOURCEW(iconId), IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
  HDC memory = CreateCompatibleDC(screen);
  if (!memory) {
    ReleaseDC(nullptr, screen);
    if (icon) DestroyIcon(icon);
    return nullptr;
  }
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = cx;
  info.bmiHeader.biHeight = cy;  // bottom-up rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);

  HBITMAP result = nullptr;
  HGDIOBJ previous = nullptr;
  if (bitmap && icon) {
    previous = SelectObject(memory, bitmap);
    if (previous && DrawIconEx(memory, 0, 0, icon, cx, cy, 0, nullptr, DI_NORMAL)) {
      SelectObject(memory, previous);
      previous = nullptr;
      result = bitmap;
    }
  }
  if (previous) SelectObject(memory, previous);
  if (bitmap && bitmap != result) DeleteObject(bitmap);
  DeleteDC(memory);
  if (icon) DestroyIcon(icon);
  return result;
}
