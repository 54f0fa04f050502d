// The main window: controls and layout, menus, command dispatch, busy state, About box.
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

// Called by the workers at their start and on every way out. showProgress shows the bar.
// Safe from any thread.
int EnterBusyState(int showProgress);
int LeaveBusyState();

// Starts an operation's worker on a new thread (created suspended, then resumed; its handle is
// not kept), the busy state entered already. When no thread can be made, leaves the busy state
// (which also closes an unattended program) and returns 1; else 0.
int StartWorker(LPTHREAD_START_ROUTINE worker, LPVOID parameter);

void ShowAboutBox();

// Gives the keyboard focus to button 900; from a worker thread too (focus belongs to the
// window's thread, so the request travels there).
void FocusQueryButton();
