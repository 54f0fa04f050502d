// The window program's firmware upgrade run: start on the main thread, everything else on the
// upgrade worker, which runs the upgrade's protocol and shows its outcome.
#include "app/upgrade_worker.h"

#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "app/printer_menu.h"
#include "app/printer_state.h"
#include "app/notice.h"
#include "app/window_sink.h"
#include "app/wine_bridge.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "info/model_identification.h"
#include "tables/upgrade_texts.h"
#include "upgrade/upgrade.h"

namespace {

constexpr int kFirmwarePathUnits = 260;

// One of the run's buffers, allocated once per run and released on every way out.
struct RunBuffer {
  explicit RunBuffer(size_t bytes)
      : bytes(static_cast<unsigned char *>(
            VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  ~RunBuffer() { Release(); }
  void Release() {
    if (bytes) VirtualFree(bytes, 0, MEM_RELEASE);
    bytes = nullptr;
  }
  unsigned char *bytes;
};

// No text names a lack of memory: the default detail says the upgrade did not happen.
void ReportNoMemory() {
  ReportFailure(InternalString(kNoString), InternalString(kNoString), InternalString(kNoString));
}

void ReportSuccess(const UpgradeRun &run) {
  const wchar_t *snapshot = TheWindowSink().UpgradeSnapshot();
  SendMessageW(app.progressBar, PBM_SETPOS, run.total, 0);
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kFinalLineFormat), snapshot,
                UiText(kTransferWordText), run.total, run.total, UiText(kDoneWordText));
  SetWindowTextW(app.infoPane, text);

  wchar_t message[kPaneUnits];
  ComposeUpgradeMessage(run, message);
  MessageBoxW(app.mainWindow, message, UiText(kResultCaptionText), MB_OK | MB_ICONINFORMATION);
}

void ReportPartsSent() {
  wchar_t message[kPaneUnits];
  ComposePartsSentMessage(message);
  wchar_t pane[kPaneUnits];
  wchar_t text[kPaneUnits];
  GetWindowTextW(app.infoPane, pane, kPaneUnits);
  FormatBounded(text, kPaneUnits, InternalString(kFailureLineFormat), pane,
                InternalString(kNoString), message);
  SetWindowTextW(app.infoPane, text);
  if (app.unattendedMode) {
    MessageBoxW(app.mainWindow, message, UiText(kResultCaptionText), MB_OK | MB_ICONINFORMATION);
  }
}

// The open dialog on the previous path. A previous name the dialog cannot take (one cut at 259
// characters from the command line, say) would make it fail at once, every time: start it
// afresh then.
bool AskForFirmwareFile() {
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = app.mainWindow;
  dialog.lpstrFilter = InternalString(kOpenDialogFilterString);
  dialog.lpstrFile = app.firmwarePath;
  dialog.nMaxFile = kFirmwarePathUnits;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (GetOpenFileNameW(&dialog)) return true;
  if (CommDlgExtendedError() != FNERR_INVALIDFILENAME) return false;
  app.firmwarePath[0] = 0;
  return GetOpenFileNameW(&dialog) != 0;
}

// Under Wine, a printer bridged in from Linux without the usblp write guard: nothing is sent, and
// the user is told to take korvex's way. An unattended program ends with "nothing sent".
void RefuseBridgedUpgrade() {
  if (app.unattendedMode) {
    MessageBoxW(app.mainWindow, UiText(kBridgedUpgradeRefusedText), UiText(kErrorWordText),
                MB_ICONERROR);
    app.exitCode = kExitNothingSent;
    PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
  } else {
    ShowNotice(-1, -1, UiText(kBridgedUpgradeRefusedText), UiText(kErrorWordText),
               kNoticeError);
  }
}

}  // namespace

DWORD WINAPI FirmwareUpgradeThread(LPVOID) {
  RunBuffer fileBuffer(kFileBufferSize);
  RunBuffer inflateBuffer(kInflateBufferSize);
  SetWindowTextW(app.headingLabel, UiText(kUpgradeHeadingText));
  SetWindowTextW(app.infoPane, UiText(kPreparingText));
  if (!fileBuffer.bytes || !inflateBuffer.bytes) {
    ReportNoMemory();
    LeaveBusyState();
    return 1;
  }

  FirmwareFileReader file(app.firmwarePath);
  if (!file.IsOpen()) {
    ReportFailure(InternalString(kCannotOpenString), InternalString(kNoString),
                  InternalString(kNoString));
    LeaveBusyState();
    return 1;
  }
  // The handle admits no writer while the file is checked and sent.
  UpgradeRun run = {};
  const FirmwareOutcome outcome =
      CheckAndSendFirmware(file.Source(), fileBuffer.bytes, inflateBuffer.bytes, &run);
  file.Close();
  if (run.walk.kind == FirmwareKind::MultiPart) {
    // The multi-part run takes the file over with its own buffer and its own reading of it.
    fileBuffer.Release();
    inflateBuffer.Release();
    if (RunMultiPartPackage() == 0) app.exitCode = kExitFirmwareSent;
    LeaveBusyState();
    return 0;
  }
  if (outcome != FirmwareOutcome::Accepted) {
    ReportFirmwareOutcome(outcome);
    LeaveBusyState();
    return 1;
  }
  ReportSuccess(run);
  app.exitCode = kExitFirmwareSent;
  LeaveBusyState();
  return 0;
}

int RunMultiPartPackage() {
  RunBuffer partBuffer(kPartBufferSize);
  if (!partBuffer.bytes) {
    ReportNoMemory();
    return 1;
  }
  FirmwareFileReader file(app.firmwarePath);
  if (!file.IsOpen()) {
    partBuffer.Release();
    ReportFailure(InternalString(kCannotOpenString), InternalString(kNoString),
                  InternalString(kNoString));
    return 1;
  }
  UpgradeRun run = {};
  const FirmwareOutcome outcome = CheckAndSendParts(file.Source(), partBuffer.bytes, &run);
  file.Close();
  partBuffer.Release();
  if (outcome != FirmwareOutcome::Accepted) {
    ReportFirmwareOutcome(outcome);
    return 1;
  }
  ReportPartsSent();
  return 0;
}

void ReportFirmwareOutcome(FirmwareOutcome outcome) {
  const int text = FirmwareFailureText(outcome);
  if (text < 0) return;
  if (IsLoopFailure(outcome)) {
    wchar_t detail[kPaneUnits];
    FormatBounded(detail, kPaneUnits, InternalString(kErrorDetailFormat), UiText(kErrorWordText),
                  InternalString(text));
    ReportFailure(InternalString(kNoString), detail, InternalString(kNoString));
  } else {
    ReportFailure(InternalString(text), InternalString(kNoString), InternalString(kNoString));
  }
}

int StartFirmwareUpgrade(int popupAnchor, int askForFile) {
  DiscoverPrinters(popupAnchor);
  if (!printerSelected) {
    if (app.unattendedMode) {
      app.exitCode = kExitNoPrinter;
      PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
    }
    return 1;
  }
  if (BridgedPrinterRefused(currentDevicePath)) {
    RefuseBridgedUpgrade();
    return 1;
  }
  if (askForFile && !AskForFirmwareFile()) return 1;
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // operation running and is ignored.
  EnterBusyState(0);
  return StartWorker(FirmwareUpgradeThread, nullptr);
}
