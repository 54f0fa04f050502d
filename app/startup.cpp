// Process start-up, command line, temporary report file and message loop.
#include "app/startup.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/language.h"
#include "app/main_window.h"
#include "app/notice.h"
#include "app/upgrade_worker.h"

namespace {

constexpr wchar_t kClassName[] = L"Korvex Firmware Tool";

int FailInit(const wchar_t *text, int exitCode) {
  MessageBoxW(nullptr, text, L"Init", MB_ICONERROR);
  return exitCode;
}

}  // namespace

int StartUp(HINSTANCE instance) {
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
  if (!RegisterClassExW(&windowClass)) return FailInit(L"Error #1", 1);

  const int width = ScaleForDpi(622);
  const int height = ScaleForDpi(215);
  app.mainWindow = CreateWindowExW(
      WS_EX_ACCEPTFILES, kClassName, kClassName, WS_OVERLAPPEDWINDOW,
      GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2, GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2,
      width, height, nullptr, nullptr, instance, nullptr);
  if (!app.mainWindow) return FailInit(L"Error #2", 2);

  if (ExpandUiTexts() || ExpandInternalStrings() || ExpandModelTable()) return 1;

  CreateTooltipWindows();
  CreateMainWindowControls();
  SubclassControls();
  ChooseLanguage();
  ApplyLanguage();

  ShowWindow(app.mainWindow, SW_SHOWNORMAL);
  ShowWindow(app.progressBar, SW_HIDE);
  UpdateWindow(app.mainWindow);
  SetFocus(app.queryButton);
  return 0;
}

int ActOnCommandLine(const wchar_t *commandLine) {
  int count = 0;
  wchar_t **arguments = CommandLineToArgvW(commandLine, &count);
  if (!arguments) return 0;
  if (count > 2) {
    LocalFree(arguments);
    MessageBoxW(app.mainWindow, UiText(30), UiText(23), MB_ICONERROR);
    return 1;
  }
  if (count == 2) {
    app.unattendedMode = 1;
    app.exitCode = kExitNothingSent;
    ZeroMemory(app.firmwarePath, sizeof app.firmwarePath);
    // A longer path is cut to the 259 characters the buffer holds with its terminator.
    for (int i = 0; i < 259 && arguments[1][i]; ++i) app.firmwarePath[i] = arguments[1][i];
    LocalFree(arguments);
    StartFirmwareUpgrade(3, 0);
    return 0;
  }
  LocalFree(arguments);
  return 0;
}

void CreateReportTempFile() {
  wchar_t directory[260];
  GetTempPathW(260, directory);
  GetTempFileNameW(directory, InternalString(8), 0, app.reportTempPath);
}

int RunMessageLoop() {
  MSG message = {};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(app.mainWindow, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
