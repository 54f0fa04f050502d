// The process-wide application state record: one static, zero-initialised instance.
#pragma once

#include <windows.h>

struct AppState {
  HINSTANCE instance;
  int screenDpi = 96;  // horizontal logical pixels per inch, read once at start-up
  HWND mainWindow;
  int currentLanguage;  // 0 Russian, 1 English, 2 Portuguese, 3 Chinese
  int unattendedMode;   // started with a firmware path on the command line; never cleared
  int isBusy;
  int noticeShown;
  wchar_t firmwarePath[260];
  wchar_t reportTempPath[MAX_PATH];
};

extern AppState app;

// Reads the screen's horizontal DPI into app.screenDpi (96 when the screen cannot be asked).
int ReadScreenDpi();
// value × screenDpi ÷ 96, truncated toward zero; positions, sizes and font heights use it.
int ScaleForDpi(int value);
