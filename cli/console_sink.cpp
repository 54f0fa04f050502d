// A printer's sink on the command line.
#include "cli/console_sink.h"

#include <cstdio>

#include "cli/console.h"
#include "cli/interrupts.h"
#include "cli/progress_board.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"
#include "upgrade/upgrade.h"

ConsoleSink::ConsoleSink(const std::string &prefix) : prefix_(prefix) {}

ConsoleSink::~ConsoleSink() {
  EndTransfer();
  EndProgress();
}

int ConsoleSink::Language() const { return kEnglish; }

// Every line of it begins with the prefix, so that the lines of several printers stay apart.
void ConsoleSink::Say(const std::string &utf8) {
  std::string text = prefix_;
  for (const char c : utf8) {
    text.push_back(c);
    if (c == '\n') text += prefix_;
  }
  ProgressBoard::Shared().Message(text + "\n");
}

void ConsoleSink::FinishProgress() {
  if (active_) ShowProgress(total_, true);
  EndProgress();
}

double ConsoleSink::TransferRate() const {
  if (transferStarted_ == std::chrono::steady_clock::time_point()) return 0;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - transferStarted_).count();
  return seconds > 0 ? static_cast<double>(bytesWritten_) / seconds : 0;
}

void ConsoleSink::ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail,
                                const wchar_t *) {
  // The reason as the window program's pane line gives it: the short text, then its detail.
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kFailureReasonFormat), shortText,
                FailureDetail(kEnglish, paneDetail));
  lastFailure_ = OneLine(text);
  while (!lastFailure_.empty() && lastFailure_.back() == ' ') lastFailure_.pop_back();
  // A stop ends every question and write under way: what failed then is the stop's doing, not
  // the printer's, and the line that ends the printer's run says so.
  if (UpgradeInterrupts::StopRequested()) return;
  Say("error: " + Plain(text));
}

void ConsoleSink::FileAccepted(FirmwareKind kind) {
  Say(OwnWords(kValidFileFormat));
  if (kind == FirmwareKind::MultiPart) {
    Say("note: " + Plain(UiTextIn(kEnglish, kAfterTransferNoteText)));
  }
}

void ConsoleSink::ModelNote(int category) {
  Say("note: " + Plain(CategoryNote(kEnglish, category)));
}

void ConsoleSink::FileCheckBegins(uint64_t size) {
  StartProgress(Plain(UiTextIn(kEnglish, kCheckWordText)), size, false);
}

void ConsoleSink::FileCheckProgress(uint64_t read, uint64_t) { ShowProgress(read); }

// The printer's line goes on with the transfer.
void ConsoleSink::FileCheckEnds() {
  if (active_) ShowProgress(total_, true);
  active_ = false;
}

void ConsoleSink::TransferBegins(FirmwareKind kind, uint32_t total) {
  if (!flowing_) UpgradeInterrupts::FirmwareFlows(true);
  flowing_ = true;
  transferStarted_ = std::chrono::steady_clock::now();
  StartProgress(Plain(UiTextIn(kEnglish, kTransferWordText)), total,
                kind == FirmwareKind::MultiPart);
}

void ConsoleSink::PartBegins(uint32_t index, uint32_t) { ShowProgress(index); }

void ConsoleSink::TransferProgress(uint32_t count, uint32_t) { ShowProgress(count); }

void ConsoleSink::FirmwareWritten(uint32_t bytes) { bytesWritten_ += bytes; }

bool ConsoleSink::StopRequested() { return UpgradeInterrupts::StopRequested(); }

void ConsoleSink::EndTransfer() {
  if (flowing_) UpgradeInterrupts::FirmwareFlows(false);
  flowing_ = false;
}

void ConsoleSink::StartProgress(const std::string &label, uint64_t total, bool parts) {
  ProgressBoard &board = ProgressBoard::Shared();
  active_ = true;
  parts_ = parts;
  label_ = label;
  total_ = total;
  tenthShown_ = -1;
  started_ = std::chrono::steady_clock::now();
  // One line per printer on a terminal: the transfer takes the check's place.
  if (board.Terminal() && row_ < 0) row_ = board.AddRow();
  ShowProgress(0, true);
}

void ConsoleSink::ShowProgress(uint64_t done, bool force) {
  if (!active_) return;
  const double fraction =
      total_ == 0 ? 1.0 : static_cast<double>(done > total_ ? total_ : done) / total_;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  char amount[96];
  if (parts_) {
    std::snprintf(amount, sizeof amount, "part %llu of %llu",
                  static_cast<unsigned long long>(done + (done < total_ ? 1 : 0)),
                  static_cast<unsigned long long>(total_));
  } else {
    std::snprintf(amount, sizeof amount, "%s of %s", Size(done).c_str(), Size(total_).c_str());
  }
  ProgressBoard &board = ProgressBoard::Shared();
  if (!board.Terminal()) {
    // Plain lines: the start, then each tenth reached.
    const int tenth = static_cast<int>(fraction * 10);
    if (tenth == tenthShown_) return;
    tenthShown_ = tenth;
    char line[160];
    std::snprintf(line, sizeof line, "%s%s: %3d%% (%s)\n", prefix_.c_str(), label_.c_str(),
                  tenth * 10, amount);
    board.Message(line);
    return;
  }
  // The parts of the line; the board fits them to the terminal's width at each drawing.
  line_.prefix = prefix_;
  line_.label = label_;
  line_.fraction = fraction;
  line_.percent = static_cast<int>(fraction * 100);
  line_.amount = amount;
  line_.rate.clear();
  line_.left.clear();
  if (!parts_ && seconds > 0.5 && done > 0) {
    const double rate = done / seconds;
    line_.rate = Size(static_cast<uint64_t>(rate)) + "/s";
    if (done < total_) line_.left = Duration((total_ - done) / rate) + " left";
  }
  board.SetRow(row_, line_, force || done >= total_);
}

void ConsoleSink::EndProgress(const std::string &outcome) {
  active_ = false;
  if (row_ < 0) return;
  ProgressBoard::Shared().EndRow(row_, outcome);
  row_ = -1;
}
