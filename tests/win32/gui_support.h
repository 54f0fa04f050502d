// Helpers for tests that drive the real main window in this process: message pumping, work on
// a second thread, reading tooltips and the registry, and screenshots.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

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

// Text of a window, also of another process's control (GetWindowText would not ask it; the
// WM_GETTEXT message itself is carried across).
std::wstring WindowTextOf(HWND window);
// Waits for a visible dialog of the process with this title, or (control non-zero) with that
// control; nullptr when none came in time.
HWND WaitForDialogOf(DWORD processId, const std::wstring &caption, int control, DWORD timeoutMs);

// The whole content of a file (also one another process still writes), or "<missing>" when
// it cannot be opened.
std::string ReadFileBytes(const std::wstring &path);

// Saves the screen area as BUILD/screenshots/NAME.png.
void SaveScreenshot(const std::wstring &name, RECT area);

// Waits for the visible main window of korvex_tool.exe: that of the process with this id, or,
// for id 0, that of any process running korvex_tool.exe (also one another program started).
// nullptr when none came in time; *foundProcessId receives the window's process id.
HWND WaitForProgramWindow(DWORD processId, DWORD timeoutMs, DWORD *foundProcessId = nullptr);

// korvex_tool.exe in a process of its own, ended by the test when still running.
struct ChildProgram {
  PROCESS_INFORMATION process = {};
  bool started = false;

  explicit ChildProgram(const std::wstring &arguments) {
    std::wstring commandLine = L"\"" + std::wstring(KORVEX_TOOL_EXE) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    started = CreateProcessW(KORVEX_TOOL_EXE, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process) != 0;
  }
  ~ChildProgram() {
    if (!started) return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  // The exit code, or -1 if the program has not ended within the time.
  int ExitCode(DWORD timeoutMs) {
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
  }
  HWND MainWindow(DWORD timeoutMs) { return WaitForProgramWindow(process.dwProcessId, timeoutMs); }
};
