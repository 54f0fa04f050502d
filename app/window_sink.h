// The window program's sink: what the protocol core reports appears in the information pane, the
// heading, the progress bar and message boxes, and while the printer is waited for the ticker
// animates the pane.
#pragma once

#include <windows.h>

#include "device/operation_sink.h"
#include "tables/upgrade_texts.h"

// The ticker thread: appends a dot to the pane's text every 250 ms, 128 times at most. Its
// parameter is an event that ends it early, or nullptr to let it run out.
DWORD WINAPI ProgressTicker(LPVOID stopEvent);

struct TickerThread {
  HANDLE thread;
  HANDLE stopEvent;
};
// Starts ProgressTicker on a new thread (created suspended, then resumed).
TickerThread StartProgressTicker();
// Ends the ticker and waits for it, so that the pane changes no more once this returns; closes
// both handles. Harmless on a ticker that never started.
void StopProgressTicker(TickerThread *ticker);

class WindowSink : public OperationSink {
 public:
  // The chosen language, as it is when asked (the menu may change it between operations).
  int Language() const override;
  void WaitBegins() override;
  void WaitEnds() override;
  void ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail,
                     const wchar_t *boxDetail) override;
  void QueryBegins(int steps) override;
  void QueryStep(int step) override;
  void InformationText(const wchar_t *text) override;
  void DeviceCodeBegins() override;
  void DeviceCodeEnds() override;
  void FileAccepted(FirmwareKind kind) override;
  void ModelNote(int category) override;
  void FileCheckBegins(uint64_t size) override;
  void FileCheckProgress(uint64_t read, uint64_t size) override;
  void FileCheckEnds() override;
  void TransferBegins(FirmwareKind kind, uint32_t total) override;
  void PartBegins(uint32_t index, uint32_t count) override;
  void TransferProgress(uint32_t count, uint32_t total) override;
  void FirmwareWritten(uint32_t bytes) override;

  // The pane text that an upgrade's progress lines are written after: the pane as it stood
  // once the file was accepted, with the notes added since.
  const wchar_t *UpgradeSnapshot() const { return snapshot_; }

 private:
  void ShowCheckLine(uint64_t read);

  TickerThread waitTicker_ = {};
  TickerThread deviceCodeTicker_ = {};
  wchar_t snapshot_[kPaneUnits] = {};
  uint64_t checkSize_ = 0;
  uint64_t checkShown_ = 0;  // bytes read when the check line was last written
};

// The one sink of the window program, the sink of its printer's connection.
WindowSink &TheWindowSink();
