// korvex-wine-upgrade: the window program's firmware upgrade as its upgrade worker runs it (the
// same calls on the same connection, which holds no transport: the printer is opened for every
// transaction, block and part), without the window, for the kernel tests. There
// scripts/korvex-linux starts it under Wine in the test machine, on a printer gadget that the
// kernel's usblp driver shows as /dev/usb/lp0: the printer is found by the program's discovery
// through the launcher's bridge, and the window program's refusal under Wine applies.
//
// The launcher starts a program without arguments, so it is told what to do in its environment:
//   KORVEX_TEST_FIRMWARE  firmware files (Windows paths) separated by semicolons, each upgraded
//                         in turn, a run of its own as the window program would make it
//   KORVEX_TEST_DISTURB   "suspend": the main thread suspends the upgrade's thread and reads its
//                         context, again and again while it runs (Wine's server sends it SIGUSR1
//                         for each); "ctrl-c": Ctrl+C is taken by a console control handler;
//                         both, separated by a comma
//   KORVEX_TEST_FLOOR     "skip": no refusal (a run without the usblp write guard, to see what
//                         reaches the printer then)
// Says what it did on standard output. Exit codes as the unattended window program's: 0 every
// firmware byte of every file sent, 3 no printer, 4 nothing sent (refused), 5 a transfer failed
// after firmware had reached the printer; the first run that fails ends it.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/printer_state.h"
#include "app/upgrade_worker.h"
#include "app/wine_bridge.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"

namespace {

std::string Utf8(const wchar_t *text) {
  char bytes[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 1, nullptr, nullptr);
  return bytes;
}

std::wstring Environment(const wchar_t *name) {
  wchar_t value[2048] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, 2048);
  return length > 0 && length < 2048 ? value : L"";
}

volatile LONG ctrlCTaken = 0;

BOOL WINAPI TakeCtrlC(DWORD event) {
  if (event != CTRL_C_EVENT) return FALSE;
  InterlockedIncrement(&ctrlCTaken);
  return TRUE;
}

// FirmwareUpgradeThread's run without its window: the file checked against the printer and sent,
// a multi-part package handed on to RunMultiPartPackage.
DWORD WINAPI UpgradeWorker(LPVOID) {
  auto *fileBuffer = static_cast<unsigned char *>(
      VirtualAlloc(nullptr, kFileBufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  auto *inflateBuffer = static_cast<unsigned char *>(
      VirtualAlloc(nullptr, kInflateBufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!fileBuffer || !inflateBuffer) return 1;
  FirmwareFileReader file(app.firmwarePath);
  if (!file.IsOpen()) return 1;
  UpgradeRun run = {};
  const FirmwareOutcome outcome =
      CheckAndSendFirmware(file.Source(), fileBuffer, inflateBuffer, &run);
  file.Close();
  VirtualFree(fileBuffer, 0, MEM_RELEASE);
  VirtualFree(inflateBuffer, 0, MEM_RELEASE);
  if (run.walk.kind == FirmwareKind::MultiPart) {
    if (RunMultiPartPackage() != 0) return 1;
  } else if (outcome != FirmwareOutcome::Accepted) {
    return 1;
  }
  app.exitCode = kExitFirmwareSent;
  return 0;
}

// One upgrade of the file at app.firmwarePath on a worker thread, as the window starts it, with
// the suspensions asked for; the run's exit code.
LONG RunUpgrade(bool suspend, long *suspensions) {
  app.exitCode = kExitNothingSent;
  HANDLE worker = CreateThread(nullptr, 0, UpgradeWorker, nullptr, 0, nullptr);
  if (!worker) return kExitNothingSent;
  while (suspend && WaitForSingleObject(worker, 5) == WAIT_TIMEOUT) {
    if (SuspendThread(worker) == static_cast<DWORD>(-1)) break;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(worker, &context);
    ResumeThread(worker);
    ++*suspensions;
  }
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  return app.exitCode;
}

}  // namespace

int wmain() {
  if (ExpandUiTexts() || ExpandInternalStrings() || ExpandModelTable()) return 1;
  app.currentLanguage = kEnglish;
  const std::wstring files = Environment(L"KORVEX_TEST_FIRMWARE");
  const std::wstring disturb = Environment(L"KORVEX_TEST_DISTURB");
  const bool suspend = disturb.find(L"suspend") != std::wstring::npos;
  const bool ctrlC = disturb.find(L"ctrl-c") != std::wstring::npos;
  const bool floor = Environment(L"KORVEX_TEST_FLOOR") != L"skip";

  const int count = ListPrinters();
  if (count != 1) {
    std::printf("printers found: %d, not one\n", count);
    return kExitNoPrinter;
  }
  SelectPrinter(0);
  std::printf("printer: %s\n", Utf8(currentDevicePath).c_str());
  const std::wstring guard = Environment(L"KORVEX_USBLP_GUARD");
  std::printf("usblp write guard: %s\n", Utf8(guard.c_str()).c_str());
  if (floor && BridgedPrinterRefused(currentDevicePath)) {
    std::printf("refused: %s\n", Utf8(UiText(kBridgedUpgradeRefusedText)).c_str());
    return kExitNothingSent;
  }
  if (ctrlC) SetConsoleCtrlHandler(TakeCtrlC, TRUE);

  long suspensions = 0;
  LONG exitCode = kExitNothingSent;
  for (size_t start = 0; start < files.size();) {
    size_t end = files.find(L';', start);
    if (end == std::wstring::npos) end = files.size();
    lstrcpynW(app.firmwarePath, files.substr(start, end - start).c_str(), 260);
    start = end + 1;
    std::printf("upgrading from %s\n", Utf8(app.firmwarePath).c_str());
    std::fflush(stdout);
    exitCode = RunUpgrade(suspend, &suspensions);
    if (exitCode != kExitFirmwareSent) {
      std::printf("failed: transport failure %d\n", static_cast<int>(windowPrinter.lastFailure));
    }
    std::printf("exit %ld\n", exitCode);
    if (exitCode != kExitFirmwareSent) break;
  }
  if (suspend) std::printf("upgrade thread suspended %ld times\n", suspensions);
  if (ctrlC) std::printf("Ctrl+C taken %ld times\n", ctrlCTaken);
  return static_cast<int>(exitCode);
}
