// The busy state of the main window: while an operation's worker runs, the buttons and the
// menus are disabled, drops are ignored and closing asks first. Workers enter and leave it from
// their own threads; the window's thread does the leaving.
#include "app/busy_state.h"

#include <initializer_list>

#include "app/app_state.h"

namespace {

void SetTopLevelMenusEnabled(bool enabled) {
  HMENU bar = GetMenu(app.mainWindow);
  const int count = GetMenuItemCount(bar);
  for (int position = 0; position < count; ++position) {
    EnableMenuItem(bar, position, MF_BYPOSITION | (enabled ? MF_ENABLED : MF_DISABLED));
  }
  DrawMenuBar(app.mainWindow);
}

void SetButtonsEnabled(bool enabled) {
  for (HWND button : {app.queryButton, app.upgradeButton, app.openReportButton,
                      app.copyReportButton, app.saveReportButton}) {
    EnableWindow(button, enabled);
  }
}

}  // namespace

int EnterBusyState(int showProgress) {
  SetButtonsEnabled(false);
  if (showProgress) ShowWindow(app.progressBar, SW_SHOW);
  SetTopLevelMenusEnabled(false);
  InterlockedExchange(&app.isBusy, 1);
  return 0;
}

int LeaveBusyState() {
  // A worker has the window's thread leave the busy state in one message: a command that
  // arrives once the buttons are enabled again then always finds the flag cleared too.
  if (GetWindowThreadProcessId(app.mainWindow, nullptr) != GetCurrentThreadId()) {
    SendMessageW(app.mainWindow, kLeaveBusyStateMessage, 0, 0);
    return 0;
  }
  SetButtonsEnabled(true);
  ShowWindow(app.progressBar, SW_HIDE);
  SetTopLevelMenusEnabled(true);
  InterlockedExchange(&app.isBusy, 0);
  if (app.unattendedMode) PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
  return 0;
}

int StartWorker(LPTHREAD_START_ROUTINE worker, LPVOID parameter) {
  HANDLE thread = CreateThread(nullptr, 0, worker, parameter, CREATE_SUSPENDED, nullptr);
  if (!thread) {
    LeaveBusyState();
    return 1;
  }
  ResumeThread(thread);
  CloseHandle(thread);
  return 0;
}

void FocusQueryButton() {
  if (GetWindowThreadProcessId(app.mainWindow, nullptr) == GetCurrentThreadId()) {
    SetFocus(app.queryButton);
  } else {
    PostMessageW(app.mainWindow, kFocusQueryButtonMessage, 0, 0);
  }
}
