// Process entry of korvex_tool.exe.
#include <windows.h>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  if (int failed = StartUp(instance)) return failed;
  if (ActOnCommandLine(GetCommandLineW())) return 1;
  CreateReportTempFile();
  return RunMessageLoop();
}
