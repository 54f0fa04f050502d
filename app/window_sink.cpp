// The window program's sink.
#include "app/window_sink.h"

#include <commctrl.h>

#include <cwchar>

#include "app/app_state.h"
#include "app/built_in_tables.h"
#include "app/busy_state.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "upgrade/upgrade.h"

namespace {

constexpr int kTickerSteps = 128;
constexpr DWORD kTickerMilliseconds = 250;
constexpr int kTickerFormat = 127;  // saved pane text, dots
constexpr int kDeviceCodeStep = 6;  // the progress bar's place while the device code is made
constexpr DWORD kDeviceCodePauseMilliseconds = 500;

WindowSink windowSink;

// The pane becomes snapshot with note on a line of its own, and snapshot that text.
void AddNoteToSnapshot(wchar_t *snapshot, const wchar_t *note) {
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kNoteFormat), snapshot, note);
  SetWindowTextW(app.infoPane, text);
  GetWindowTextW(app.infoPane, snapshot, kPaneUnits);
}

}  // namespace

int WindowSink::Language() const { return app.currentLanguage; }

WindowSink &TheWindowSink() { return windowSink; }

DWORD WINAPI ProgressTicker(LPVOID stopEvent) {
  wchar_t saved[kPaneUnits] = {};
  GetWindowTextW(app.infoPane, saved, kPaneUnits);
  wchar_t dots[kTickerSteps + 1] = {};
  wchar_t text[kPaneUnits];
  for (int step = 0; step < kTickerSteps; ++step) {
    dots[step] = L'.';
    wsprintfW(text, InternalString(kTickerFormat), saved, dots);
    SetWindowTextW(app.infoPane, text);
    if (stopEvent) {
      if (WaitForSingleObject(static_cast<HANDLE>(stopEvent), kTickerMilliseconds) ==
          WAIT_OBJECT_0) {
        break;
      }
    } else {
      Sleep(kTickerMilliseconds);
    }
  }
  return 0;
}

TickerThread StartProgressTicker() {
  TickerThread ticker = {};
  ticker.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ticker.stopEvent) return ticker;
  ticker.thread = CreateThread(nullptr, 0, ProgressTicker, ticker.stopEvent, CREATE_SUSPENDED,
                               nullptr);
  if (ticker.thread) {
    ResumeThread(ticker.thread);
  } else {
    CloseHandle(ticker.stopEvent);
    ticker.stopEvent = nullptr;
  }
  return ticker;
}

void StopProgressTicker(TickerThread *ticker) {
  if (ticker->thread) {
    SetEvent(ticker->stopEvent);
    WaitForSingleObject(ticker->thread, INFINITE);
    CloseHandle(ticker->thread);
  }
  if (ticker->stopEvent) CloseHandle(ticker->stopEvent);
  ticker->thread = nullptr;
  ticker->stopEvent = nullptr;
}

void WindowSink::WaitBegins() { waitTicker_ = StartProgressTicker(); }

void WindowSink::WaitEnds() { StopProgressTicker(&waitTicker_); }

void WindowSink::ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail,
                               const wchar_t *boxDetail) {
  wchar_t previous[kPaneUnits] = {};
  GetWindowTextW(app.infoPane, previous, kPaneUnits);
  wchar_t detail[kPaneUnits];
  FormatBounded(detail, kPaneUnits, InternalString(kOneStringFormat), FailureDetail(app.currentLanguage, paneDetail));
  wchar_t line[kPaneUnits];
  FormatBounded(line, kPaneUnits, InternalString(kFailureLineFormat), previous, shortText, detail);
  SetWindowTextW(app.infoPane, line);
  if (app.unattendedMode) {
    // The pane closes with the program, so the box names the reason as the pane line does, and
    // then its own detail where that adds something.
    wchar_t reason[kPaneUnits];
    FormatBounded(reason, kPaneUnits, InternalString(kFailureReasonFormat), shortText, detail);
    const wchar_t *extra = FailureDetail(app.currentLanguage, boxDetail);
    wchar_t text[kPaneUnits];
    if (std::wcsstr(reason, extra) != nullptr) {
      FormatBounded(text, kPaneUnits, InternalString(kOneStringFormat), reason);
    } else {
      FormatBounded(text, kPaneUnits, InternalString(kNoteFormat), reason, extra);
    }
    MessageBoxW(app.mainWindow, text, UiText(kErrorWordText), MB_OK | MB_ICONERROR);
  }
}

void WindowSink::QueryBegins(int steps) {
  SendMessageW(app.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, steps));
  SendMessageW(app.progressBar, PBM_SETPOS, 0, 0);
}

void WindowSink::QueryStep(int step) { SendMessageW(app.progressBar, PBM_SETPOS, step, 0); }

void WindowSink::InformationText(const wchar_t *text) { SetWindowTextW(app.infoPane, text); }

void WindowSink::DeviceCodeBegins() {
  deviceCodeTicker_ = StartProgressTicker();
  SendMessageW(app.progressBar, PBM_SETPOS, kDeviceCodeStep, 0);
  Sleep(kDeviceCodePauseMilliseconds);
}

void WindowSink::DeviceCodeEnds() { StopProgressTicker(&deviceCodeTicker_); }

// The pane gets the line saying the file is valid; the snapshot becomes the new pane text. A
// multi-part package's note on the printer's restart comes before its parts, not in a box.
void WindowSink::FileAccepted(FirmwareKind kind) {
  wchar_t pane[kPaneUnits];
  wchar_t text[kPaneUnits];
  GetWindowTextW(app.infoPane, pane, kPaneUnits);
  FormatBounded(text, kPaneUnits, InternalString(kValidFileFormat), pane);
  SetWindowTextW(app.infoPane, text);
  GetWindowTextW(app.infoPane, snapshot_, kPaneUnits);
  if (kind == FirmwareKind::MultiPart) {
    AddNoteToSnapshot(snapshot_, UiText(kAfterTransferNoteText));
  }
}

void WindowSink::ModelNote(int category) { AddNoteToSnapshot(snapshot_, CategoryNote(app.currentLanguage, category)); }

void WindowSink::ShowCheckLine(uint64_t read) {
  wchar_t line[kPaneUnits];
  // The file is at most 1 GiB, so its counts fit the format's 32-bit numbers.
  FormatBounded(line, kPaneUnits, InternalString(kProgressLineFormat), snapshot_,
                UiText(kCheckWordText), static_cast<uint32_t>(read),
                static_cast<uint32_t>(checkSize_));
  SetWindowTextW(app.infoPane, line);
  checkShown_ = read;
}

// The heading and the pane say that the file is being checked, from 0 of its size.
void WindowSink::FileCheckBegins(uint64_t size) {
  checkSize_ = size;
  SetWindowTextW(app.headingLabel, UiText(kCheckHeadingText));
  ShowCheckLine(0);
}

// The check line, rewritten once for each hundredth of the file read since it was last written.
void WindowSink::FileCheckProgress(uint64_t read, uint64_t) {
  const uint64_t step = checkSize_ / 100 > 0 ? checkSize_ / 100 : 1;
  if (read - checkShown_ >= step) ShowCheckLine(read);
}

void WindowSink::FileCheckEnds() { SetWindowTextW(app.headingLabel, UiText(kUpgradeHeadingText)); }

// The progress bar runs from 0 to the total, stands at 0 and shows with the busy state.
void WindowSink::TransferBegins(FirmwareKind, uint32_t total) {
  SendMessageW(app.progressBar, PBM_SETRANGE32, 0, total);
  SendMessageW(app.progressBar, PBM_SETPOS, 0, 0);
  EnterBusyState(1);
}

void WindowSink::PartBegins(uint32_t index, uint32_t count) {
  wchar_t line[kPaneUnits];
  FormatBounded(line, kPaneUnits, InternalString(kPartLineFormat), snapshot_,
                UiText(kTransferWordText), index + 1, count);
  SetWindowTextW(app.infoPane, line);
  SendMessageW(app.progressBar, PBM_SETPOS, index + 1, 0);
}

void WindowSink::TransferProgress(uint32_t count, uint32_t total) {
  SendMessageW(app.progressBar, PBM_SETPOS, count, 0);
  wchar_t line[kPaneUnits];
  FormatBounded(line, kPaneUnits, InternalString(kProgressLineFormat), snapshot_,
                UiText(kTransferWordText), count, total);
  SetWindowTextW(app.infoPane, line);
}

// From the first byte on, an unattended run that fails has left the printer with part of its
// firmware.
void WindowSink::FirmwareWritten(uint32_t) {
  InterlockedCompareExchange(&app.exitCode, kExitSendIncomplete, kExitNothingSent);
}
