// Process entry: display scaling, window class and main window, the built-in tables, the
// interface language, and the message loop.
#include <windows.h>
#include <commctrl.h>

#include "app/app_state.h"
#include "app/language.h"
#include "app/tables.h"

namespace {

constexpr wchar_t kClassName[] = L"Korvex Firmware Tool";

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  app.instance = instance;
  ReadScreenDpi();
  const int smallIcon = ScaleForDpi(100) == 100 ? 16 : 32;

  INITCOMMONCONTROLSEX controls = {8, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(201));
  windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(201), IMAGE_ICON,
                                                      smallIcon, smallIcon, LR_SHARED));
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassExW(&windowClass)) {
    MessageBoxW(nullptr, L"Error #1", L"Init", MB_ICONERROR);
    return 1;
  }

  const int width = ScaleForDpi(622);
  const int height = ScaleForDpi(215);
  app.mainWindow = CreateWindowExW(
      WS_EX_ACCEPTFILES, kClassName, kClassName, WS_OVERLAPPEDWINDOW,
      GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2, GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2,
      width, height, nullptr, nullptr, instance, nullptr);
  if (!app.mainWindow) {
    MessageBoxW(nullptr, L"Error #2", L"Init", MB_ICONERROR);
    return 2;
  }

  if (ExpandUiTexts() || ExpandInternalStrings() || ExpandModelTable()) return 1;

  ChooseLanguage();
  SaveLanguage();
  SetWindowTextW(app.mainWindow, UiText(0));

  ShowWindow(app.mainWindow, SW_SHOWNORMAL);
  UpdateWindow(app.mainWindow);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(app.mainWindow, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
