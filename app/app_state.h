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
  // The exit code of an unattended program, kept up to date as its upgrade goes on (one of
  // kExit… below); an interactive program ends with 0.
  volatile LONG exitCode;
  volatile LONG isBusy;       // a worker runs: buttons and menus inert, drops ignored
  volatile LONG noticeShown;  // the notice tip is showing
  wchar_t firmwarePath[260];
  wchar_t reportTempPath[MAX_PATH];
};

extern AppState app;

// How an unattended upgrade ended, for scripts: the exit codes besides start-up's own failures
// (1 and 2, also 1 for too many arguments).
constexpr LONG kExitFirmwareSent = 0;    // the whole firmware reached the printer
constexpr LONG kExitNoPrinter = 3;       // no printer was found, or none chosen from the menu
constexpr LONG kExitNothingSent = 4;     // the file or the printer was refused, or the run failed
                                         // before any firmware byte was sent
constexpr LONG kExitSendIncomplete = 5;  // the run failed after firmware had reached the
                                         // printer: it may need attention

// Reads the screen's horizontal DPI into app.screenDpi (96 when the screen cannot be asked).
int ReadScreenDpi();
// value × screenDpi ÷ 96, truncated toward zero; positions, sizes and font heights use it.
int ScaleForDpi(int value);
