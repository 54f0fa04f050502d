// The process-wide application state record: one static, zero-initialised instance, owned by
// start-up and shared by the window, the notices and the workers.
#pragma once

#include <windows.h>

struct AppState {
  HINSTANCE instance;
  int screenDpi = 96;  // horizontal logical pixels per inch, read once at start-up

  HWND mainWindow;
  HWND headingLabel;
  HWND infoPane;        // read-only multi-line edit: query results and progress texts
  HWND queryButton;     // 900
  HWND upgradeButton;   // 901
  HWND openReportButton;  // 902
  HWND copyReportButton;  // 903
  HWND saveReportButton;  // 904
  HWND progressBar;
  HWND hoverTip;   // hover tips of buttons 902-904
  HWND noticeTip;  // tracking tooltip of ShowNotice
  HFONT buttonFont;
  HFONT textFont;

  int currentLanguage;  // 0 Russian, 1 English, 2 Portuguese, 3 Chinese
  int unattendedMode;   // started with a firmware path on the command line; never cleared
  volatile LONG isBusy;       // a worker runs: buttons and menus inert, drops ignored
  volatile LONG noticeShown;  // the notice tip is showing
  wchar_t firmwarePath[260];
  wchar_t reportTempPath[MAX_PATH];
};

extern AppState app;

// Reads the screen's horizontal DPI into app.screenDpi (96 when the screen cannot be asked).
int ReadScreenDpi();
// value × screenDpi ÷ 96, truncated toward zero; positions, sizes and font heights use it.
int ScaleForDpi(int value);
