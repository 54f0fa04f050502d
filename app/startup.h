// Process start-up in its fixed order, the command line, the temporary report file and the
// message loop. wWinMain runs them in turn; tests run the same steps in-process.
#pragma once

#include <windows.h>

// Steps up to the shown, idle window: display scaling, window class, main window, tables,
// tooltips, controls, subclassing, language, menus and texts. Returns 0, or the exit code of a
// failed start (1 or 2) after its message box.
int StartUp(HINSTANCE instance);
// Acts on the command line: nothing, an unattended upgrade, or the error box. Returns 0 to go
// on, or 1 when the process must end.
int ActOnCommandLine(const wchar_t *commandLine);
// Creates the empty temporary file that the report viewer is handed.
void CreateReportTempFile();
// Runs until the quit message; returns its code.
int RunMessageLoop();
