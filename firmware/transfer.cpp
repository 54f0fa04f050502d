// Firmware transfer and the multi-part package run.
#include "firmware/transfer.h"

#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/discovery.h"
#include "device/transaction.h"
#include "firmware/file_check.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "firmware/transfer_progress.h"
#include "firmware/upgrade_texts.h"

namespace {

void ShowTransferProgress(uint32_t count, uint32_t total, const wchar_t *prefix) {
  SendMessageW(app.progressBar, PBM_SETPOS, count, 0);
  wchar_t line[kPaneUnits];
  FormatBounded(line, kPaneUnits, InternalString(kProgressLineFormat), prefix,
                UiText(kTransferWordText), count, total);
  SetWindowTextW(app.infoPane, line);
}

// ---- The multi-part run ------------------------------------------------------------------------

// One buffer of 8 MiB serves the whole run: the walk reads the 32 header bytes into it, then the
// 44 package header bytes and each part. It can do so because the run's source refuses a file
// that no longer starts like a multi-part package (replaced since the upgrade run looked at it),
// so the walk never takes the single-image or raw path, which would need two separate buffers.
// The file is walked twice, as in the upgrade run: checked whole first, then sent.
struct MultiPartRun {
  FirmwareSource file;
  bool headerRead;
  FileCheck check;  // reads the file through the source above
  uint32_t count;
  wchar_t snapshot[kPaneUnits];
};

bool ReadMultiPart(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  auto *run = static_cast<MultiPartRun *>(context);
  if (!run->file.Read(run->file.context, out, count, got)) return false;
  if (run->headerRead) return true;
  run->headerRead = true;
  return *got < kFirmwareHeaderLength || RecogniseFirmwareFile(out) == FirmwareKind::MultiPart;
}

// Every reading from the start of the file is checked again.
bool SeekMultiPart(void *context, uint32_t offset) {
  auto *run = static_cast<MultiPartRun *>(context);
  if (offset == 0) run->headerRead = false;
  return run->file.Seek(run->file.context, offset);
}

bool SizeOfMultiPart(void *context, uint64_t *size) {
  auto *run = static_cast<MultiPartRun *>(context);
  return run->file.Size(run->file.context, size);
}

int CheckPackage(void *, const unsigned char *descriptor) {
  return CheckDeviceId(descriptor) != 0 || CheckProductCode(descriptor) != 0 ||
                 CheckFirmwareVersion(descriptor) != 0
             ? 1
             : 0;
}

// The checks have passed: say so, and check every part before the first is sent.
bool AcceptParts(void *context, FirmwareKind, uint32_t) {
  auto *run = static_cast<MultiPartRun *>(context);
  ShowFileAccepted(run->snapshot);
  AddNoteToSnapshot(run->snapshot, UiText(kAfterTransferNoteText));
  BeginFileCheck(&run->check, run->snapshot);
  return true;
}

bool CheckPart(void *context, const FirmwareChunk *) {
  ShowFileCheckProgress(&static_cast<MultiPartRun *>(context)->check);
  return true;
}

bool StartParts(void *context, FirmwareKind, uint32_t count) {
  auto *run = static_cast<MultiPartRun *>(context);
  run->count = count;
  StartProgressBar(count);
  return true;
}

bool SendPart(void *context, const FirmwareChunk *part) {
  auto *run = static_cast<MultiPartRun *>(context);
  wchar_t line[kPaneUnits];
  FormatBounded(line, kPaneUnits, InternalString(kPartLineFormat), run->snapshot,
                UiText(kTransferWordText), part->index + 1, run->count);
  SetWindowTextW(app.infoPane, line);
  SendMessageW(app.progressBar, PBM_SETPOS, part->index + 1, 0);
  if (SendFirmwareData(part->data, part->length, part->length, 0, run->snapshot, 0) < 0) {
    return false;
  }
  // The printer takes its time with each part; the pause follows the last part too.
  Sleep(part->delaySeconds * 1000u);
  return true;
}

void ReportPartsSent() {
  wchar_t message[kPaneUnits];
  FormatBounded(message, kPaneUnits, InternalString(kPartsSentFormat), UiText(kDoneWordText));
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

}  // namespace

void ShowFileAccepted(wchar_t *snapshot) {
  wchar_t pane[kPaneUnits];
  wchar_t text[kPaneUnits];
  GetWindowTextW(app.infoPane, pane, kPaneUnits);
  FormatBounded(text, kPaneUnits, InternalString(kValidFileFormat), pane);
  SetWindowTextW(app.infoPane, text);
  GetWindowTextW(app.infoPane, snapshot, kPaneUnits);
}

void AddNoteToSnapshot(wchar_t *snapshot, const wchar_t *note) {
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kNoteFormat), snapshot, note);
  SetWindowTextW(app.infoPane, text);
  GetWindowTextW(app.infoPane, snapshot, kPaneUnits);
}

void StartProgressBar(uint32_t range) {
  SendMessageW(app.progressBar, PBM_SETRANGE32, 0, range);
  SendMessageW(app.progressBar, PBM_SETPOS, 0, 0);
  EnterBusyState(1);
}

int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     const wchar_t *prefix, int progressOn) {
  const uint32_t step = ProgressStep(total);
  HANDLE device = CreateFileW(currentDevicePath, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return -1;
  int result = static_cast<int>(length);
  for (uint32_t offset = 0; offset < length; offset += kTransferChunkBytes) {
    const uint32_t chunk = length - offset < kTransferChunkBytes ? length - offset
                                                                 : kTransferChunkBytes;
    std::memcpy(replyBuffer, data + offset, chunk);
    const uint32_t count = base + offset;
    if (progressOn && ProgressDue(count, chunk, step)) ShowTransferProgress(count, total, prefix);
    DWORD written = 0;
    const BOOL wrote = WriteFile(device, replyBuffer, chunk, &written, nullptr);
    // From the first byte on, an unattended run that fails has left the printer with part of
    // its firmware.
    if (written > 0) InterlockedCompareExchange(&app.exitCode, kExitSendIncomplete, kExitNothingSent);
    if (!wrote || written != chunk) {
      result = -1;
      break;
    }
  }
  CloseHandle(device);
  return result;
}

int RunMultiPartPackage() {
  FirmwareFileGuard file;
  unsigned char *partBuffer = static_cast<unsigned char *>(
      VirtualAlloc(nullptr, kPartBufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (partBuffer == nullptr) {
    // No text names a lack of memory: the default detail says the upgrade did not happen.
    ReportFailure(InternalString(kNoString), InternalString(kNoString), InternalString(kNoString));
    return 1;
  }
  file.file = OpenFirmwareFile(app.firmwarePath);
  if (file.file == INVALID_HANDLE_VALUE) {
    VirtualFree(partBuffer, 0, MEM_RELEASE);
    ReportFailure(InternalString(kCannotOpenString), InternalString(kNoString),
                  InternalString(kNoString));
    return 1;
  }
  MultiPartRun run = {};
  run.file = FirmwareFileSource(&file.file);
  run.check.file = {&run, ReadMultiPart, SeekMultiPart, SizeOfMultiPart};
  const FirmwareSource counted = CountingSource(&run.check);
  const FirmwareBuffers buffers = {partBuffer, partBuffer, partBuffer};
  const FirmwareWalkHooks checkHooks = {&run, nullptr, CheckPackage, AcceptParts, CheckPart,
                                        nullptr};
  FirmwareWalk walk;
  FirmwareOutcome outcome = WalkFirmwareFile(&counted, &buffers, &checkHooks, &walk);
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&run, nullptr, nullptr, StartParts, SendPart, nullptr};
    outcome = EndFileCheck(&run.check)
                  ? WalkFirmwareFile(&run.check.file, &buffers, &sendHooks, &walk)
                  : FirmwareOutcome::LoopSeekFailed;
  }
  file.Close();
  VirtualFree(partBuffer, 0, MEM_RELEASE);
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
