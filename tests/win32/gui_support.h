// Helpers for tests that drive the real main window in this process: message pumping, work on
// a second thread, reading tooltips and the registry, and screenshots.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Starts the program's own main window in this process (StartUp), once: its window class can
// be registered only once per process.
void StartProgramWindowOnce();
// Sends a command to the main window and serves it until a worker thread has entered and left
// the busy state; meanwhile runs on each turn. False when that did not happen in time.
bool RunCommandUntilIdle(int commandId, DWORD timeoutMs = 40000,
                         const std::function<void()> &meanwhile = nullptr);

// Processes this thread's messages for the given time.
void Pump(DWORD milliseconds);
// Processes messages until done() holds or the time runs out; returns done().
bool PumpUntil(const std::function<bool()> &done, DWORD timeoutMs = 5000);
// Whether the pumps above met the quit message, and its code.
bool QuitReceived(int *code);
// Runs work on a new thread while this thread keeps serving its windows.
void RunOnWorker(const std::function<void()> &work);

// The text of the notice tool of the notice tip.
std::wstring NoticeText();
// The saved-language registry value, or "<none>".
std::wstring SavedLanguageValue();

// A window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND control);

// Saves the screen area as BUILD/screenshots/NAME.png.
void SaveScreenshot(const std::wstring &name, RECT area);
