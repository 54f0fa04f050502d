// The busy state of the main window: while an operation's worker runs, the buttons and the
// menus are disabled, drops are ignored and closing asks first. Kept apart from the window's
// dispatch, which starts the workers, so that the workers depend on it and not on the dispatch.
#pragma once

#include <windows.h>

// Messages the busy state sends the main window, which its window procedure hands back here.
constexpr UINT kFocusQueryButtonMessage = WM_APP + 2;
constexpr UINT kLeaveBusyStateMessage = WM_APP + 3;

// Called by the workers at their start and on every way out. showProgress shows the bar.
// Safe from any thread.
int EnterBusyState(int showProgress);
int LeaveBusyState();

// Starts an operation's worker on a new thread (created suspended, then resumed; its handle is
// not kept), the busy state entered already. When no thread can be made, leaves the busy state
// (which also closes an unattended program) and returns 1; else 0.
int StartWorker(LPTHREAD_START_ROUTINE worker, LPVOID parameter);

// Gives the keyboard focus to button 900; from a worker thread too (focus belongs to the
// window's thread, so the request travels there).
void FocusQueryButton();
