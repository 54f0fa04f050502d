// The firmware upgrade run: start on the main thread, everything else on the upgrade worker,
// which walks the file with the whole-file walk and does the printer's side of each step.
#include "firmware/upgrade_run.h"

#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/discovery.h"
#include "firmware/file_check.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "firmware/package_reader.h"
#include "firmware/transfer.h"
#include "firmware/upgrade_texts.h"
#include "info/model_identification.h"

namespace {

constexpr int kFirmwarePathUnits = 260;

// What the worker keeps between the steps of the two walks.
struct UpgradeRun {
  FileCheck check;
  uint32_t total;
  uint32_t sent;
  int category;
  wchar_t snapshot[kPaneUnits];
};

const wchar_t *CategoryNote(int category) {
  return UiText(category == 1 ? kCategory1NoteText : kCategory2NoteText);
}

// The run's two buffers, allocated once per run and released on every way out.
struct RunBuffers {
  unsigned char *file = Allocate(kFileBufferSize);
  unsigned char *inflate = Allocate(kInflateBufferSize);
  ~RunBuffers() { Release(); }
  bool ok() const { return file != nullptr && inflate != nullptr; }
  void Release() {
    if (file) VirtualFree(file, 0, MEM_RELEASE);
    if (inflate) VirtualFree(inflate, 0, MEM_RELEASE);
    file = inflate = nullptr;
  }
  static unsigned char *Allocate(size_t bytes) {
    return static_cast<unsigned char *>(
        VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
};

int CheckPackageProductCode(void *, const unsigned char *productCode) {
  return CheckProductCode(productCode);
}

// The checks have passed: say so, add the model's note where it belongs before the transfer,
// and go on to check the rest of the file. A raw image has nothing more to check.
bool AcceptFile(void *context, FirmwareKind kind, uint32_t) {
  auto *run = static_cast<UpgradeRun *>(context);
  ShowFileAccepted(run->snapshot);
  LookUpProtocolFamily();
  ComposeDisplayName();
  run->category = ModelCategory(currentDisplayName);
  if (protocolFamily == 2 && run->category != 0) {
    AddNoteToSnapshot(run->snapshot, CategoryNote(run->category));
  }
  if (kind == FirmwareKind::RawImage) return false;
  BeginFileCheck(&run->check, run->snapshot);
  return true;
}

bool CheckChunk(void *context, const FirmwareChunk *) {
  ShowFileCheckProgress(&static_cast<UpgradeRun *>(context)->check);
  return true;
}

// The whole file has passed: the transfer starts.
bool StartTransfer(void *context, FirmwareKind, uint32_t total) {
  auto *run = static_cast<UpgradeRun *>(context);
  run->total = total;
  run->sent = 0;
  StartProgressBar(total);
  return true;
}

bool SendChunk(void *context, const FirmwareChunk *chunk) {
  auto *run = static_cast<UpgradeRun *>(context);
  const int sent =
      SendFirmwareData(chunk->data, chunk->length, run->total, run->sent, run->snapshot, 1);
  if (sent < 0) return false;
  run->sent += static_cast<uint32_t>(sent);
  return true;
}

void ReportSuccess(const UpgradeRun &run) {
  SendMessageW(app.progressBar, PBM_SETPOS, run.total, 0);
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kFinalLineFormat), run.snapshot,
                UiText(kTransferWordText), run.total, run.total, UiText(kDoneWordText));
  SetWindowTextW(app.infoPane, text);

  wchar_t message[kPaneUnits];
  FormatBounded(message, kPaneUnits, InternalString(kOneStringFormat), UiText(kAfterTransferNoteText));
  if (protocolFamily == 1 && run.category != 0) {
    FormatBounded(message, kPaneUnits, InternalString(kNoteFormat), CategoryNote(run.category),
                  UiText(kAfterTransferNoteText));
  }
  if (IsFirmwareOnlyDevice()) {
    FormatBounded(message, kPaneUnits, InternalString(kFirmwareOnlyFormat), UiText(kDoneWordText));
  }
  MessageBoxW(app.mainWindow, message, UiText(kResultCaptionText), MB_OK | MB_ICONINFORMATION);
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

}  // namespace

int ModelCategory(const wchar_t *displayName) {
  int category = 0;
  if (std::wcsncmp(displayName, InternalString(kCategory1PrefixString), 2) == 0) category = 1;
  for (int prefix = kFirstCategory2PrefixString; prefix <= kLastCategory2PrefixString; ++prefix) {
    if (std::wcsncmp(displayName, InternalString(prefix), 3) == 0) category = 2;
  }
  return category;
}

DWORD WINAPI FirmwareUpgradeThread(LPVOID) {
  RunBuffers buffers;
  SetWindowTextW(app.headingLabel, UiText(kUpgradeHeadingText));
  SetWindowTextW(app.infoPane, UiText(kPreparingText));
  if (!buffers.ok()) {
    // No text names a lack of memory: the default detail says the upgrade did not happen.
    ReportFailure(InternalString(kNoString), InternalString(kNoString), InternalString(kNoString));
    LeaveBusyState();
    return 1;
  }

  FirmwareFileGuard file;
  file.file = OpenFirmwareFile(app.firmwarePath);
  if (file.file == INVALID_HANDLE_VALUE) {
    ReportFailure(InternalString(kCannotOpenString), InternalString(kNoString),
                  InternalString(kNoString));
    LeaveBusyState();
    return 1;
  }
  UpgradeRun run = {};
  run.check.file = FirmwareFileSource(&file.file);
  // No part buffer: the walk then stops a multi-part package right after recognising it, and
  // the multi-part run takes it over with its own buffer and its own reading of the file.
  const FirmwareBuffers walkBuffers = {buffers.file, buffers.inflate, nullptr};
  // The whole file is read and checked once, with the printer's checks and without sending
  // anything, then read again from its start for the transfer: a file damaged anywhere never
  // reaches the printer. The handle admits no writer meanwhile.
  const FirmwareSource counted = CountingSource(&run.check);
  const FirmwareWalkHooks checkHooks = {&run, CheckPackageProductCode, nullptr, AcceptFile,
                                        CheckChunk, nullptr};
  FirmwareWalk walk;
  FirmwareOutcome outcome = WalkFirmwareFile(&counted, &walkBuffers, &checkHooks, &walk);
  if (walk.kind == FirmwareKind::MultiPart && outcome == FirmwareOutcome::OpenFailed) {
    file.Close();
    buffers.Release();
    if (RunMultiPartPackage() == 0) app.exitCode = kExitFirmwareSent;
    LeaveBusyState();
    return 0;
  }
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&run, nullptr, nullptr, StartTransfer, SendChunk,
                                         nullptr};
    outcome = EndFileCheck(&run.check)
                  ? WalkFirmwareFile(&run.check.file, &walkBuffers, &sendHooks, &walk)
                  : FirmwareOutcome::LoopSeekFailed;
  }
  file.Close();

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

int StartFirmwareUpgrade(int popupAnchor, int askForFile) {
  DiscoverPrinters(popupAnchor);
  if (!printerSelected) {
    if (app.unattendedMode) {
      app.exitCode = kExitNoPrinter;
      PostMessageW(app.mainWindow, WM_CLOSE, 0, 0);
    }
    return 1;
  }
  if (askForFile && !AskForFirmwareFile()) return 1;
  // Busy from here, on the window's thread: a command already queued behind this one finds the
  // operation running and is ignored.
  EnterBusyState(0);
  HANDLE thread = CreateThread(nullptr, 0, FirmwareUpgradeThread, nullptr, CREATE_SUSPENDED,
                               nullptr);
  if (thread == nullptr) {
    LeaveBusyState();  // which also closes an unattended program
    return 1;
  }
  ResumeThread(thread);
  CloseHandle(thread);
  return 0;
}
