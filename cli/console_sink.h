// A printer's sink on the command line: its failures and the upgrade's notes as lines on
// standard error, its file check and transfer as a progress line of the board there (bytes,
// rate, time left) on a terminal, as plain lines at every tenth otherwise. One sink per printer,
// so that several printers can be driven at once; each line starts with the sink's prefix.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/progress_line.h"
#include "device/operation_sink.h"

class ConsoleSink : public OperationSink {
 public:
  // Lines of this printer begin with prefix (its id when several are run).
  explicit ConsoleSink(const std::string &prefix = std::string());
  ~ConsoleSink() override;

  // Whether a write put firmware bytes into the printer, and how many.
  bool FirmwareReachedPrinter() const { return bytesWritten_ > 0; }
  uint64_t FirmwareBytesWritten() const { return bytesWritten_; }
  // The transfer has ended, whichever way: firmware no longer flows.
  void EndTransfer();
  // The last failure reported, on one line; empty when there was none.
  const std::string &LastFailure() const { return lastFailure_; }
  // A line of the operation on standard error.
  void Say(const std::string &utf8);
  // The transfer has ended well: its progress shows all of it, and the line is ended.
  void FinishProgress();
  // The printer's progress line is ended as it stands, with the outcome after it when one is
  // given (the sink's end does it too).
  void EndProgress(const std::string &outcome = std::string());
  // The transfer's rate so far in bytes per second (0 before it began).
  double TransferRate() const;

  int Language() const override;
  void ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail,
                     const wchar_t *boxDetail) override;
  void FileAccepted(FirmwareKind kind) override;
  void ModelNote(int category) override;
  void FileCheckBegins(uint64_t size) override;
  void FileCheckProgress(uint64_t read, uint64_t size) override;
  void FileCheckEnds() override;
  void TransferBegins(FirmwareKind kind, uint32_t total) override;
  void PartBegins(uint32_t index, uint32_t count) override;
  void TransferProgress(uint32_t count, uint32_t total) override;
  void FirmwareWritten(uint32_t bytes) override;
  bool StopRequested() override;

 private:
  void StartProgress(const std::string &label, uint64_t total, bool parts);
  void ShowProgress(uint64_t done, bool force = false);

  std::string prefix_;
  uint64_t bytesWritten_ = 0;
  bool flowing_ = false;
  std::string lastFailure_;

  // The progress shown now.
  int row_ = -1;
  ProgressLine line_;  // what the row shows now
  bool active_ = false;
  bool parts_ = false;
  std::string label_;
  uint64_t total_ = 0;
  int tenthShown_ = -1;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point transferStarted_;
};
