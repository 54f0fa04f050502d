// The main window: controls and layout, menus, command dispatch, About box.
#pragma once

#include <windows.h>

// Control and command ids.
enum : int {
  kQueryButtonId = 900,
  kUpgradeButtonId = 901,
  kOpenReportButtonId = 902,
  kCopyReportButtonId = 903,
  kSaveReportButtonId = 904,
  kAboutCommand = 9000,
  kExitCommand = 9001,
  kFirstLanguageCommand = 10000,  // 10000-10003: the four interface languages
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Creates the fonts and the child controls of the main window, in their fixed order.
void CreateMainWindowControls();
// Builds the menu bar and sets every fixed text in the current language; saves the language.
int ApplyLanguage();

void ShowAboutBox();
