// The command line's sink.
#include "cli/console_sink.h"

#include <cstdio>

#include "app/tables.h"
#include "cli/console.h"
#include "cli/interrupts.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "firmware/upgrade.h"
#include "firmware/upgrade_texts.h"

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

ConsoleSink consoleSink;

}  // namespace

OperationSink &ActiveSink() { return consoleSink; }

ConsoleSink &TheConsoleSink() { return consoleSink; }

void ConsoleSink::Begin(const std::string &prefix) {
  EndTransfer();
  prefix_ = prefix;
  bytesWritten_ = 0;
  lastFailure_.clear();
  active_ = false;
}

// Every line of it begins with the prefix, so that the lines of several printers stay apart.
void ConsoleSink::Say(const std::string &utf8) {
  EndProgress();
  std::string text = prefix_;
  for (const char c : utf8) {
    text.push_back(c);
    if (c == '\n') text += prefix_;
  }
  Err(text + "\n");
}

void ConsoleSink::FinishProgress() {
  if (active_) ShowProgress(total_);
  EndProgress();
}

void ConsoleSink::ReportFailure(const wchar_t *shortText, const wchar_t *paneDetail,
                                const wchar_t *) {
  // The reason as the window program's pane line gives it: the short text, then its detail.
  wchar_t text[kPaneUnits];
  FormatBounded(text, kPaneUnits, InternalString(kFailureReasonFormat), shortText,
                FailureDetail(paneDetail));
  lastFailure_ = OneLine(text);
  while (!lastFailure_.empty() && lastFailure_.back() == ' ') lastFailure_.pop_back();
  Say("error: " + Plain(text));
}

void ConsoleSink::FileAccepted(FirmwareKind kind) {
  Say(OwnWords(kValidFileFormat));
  if (kind == FirmwareKind::MultiPart) Say("note: " + Plain(UiText(kAfterTransferNoteText)));
}

void ConsoleSink::ModelNote(int category) { Say("note: " + Plain(CategoryNote(category))); }

void ConsoleSink::FileCheckBegins(uint64_t size) {
  StartProgress(Plain(UiText(kCheckWordText)), size, false);
}

void ConsoleSink::FileCheckProgress(uint64_t read, uint64_t) { ShowProgress(read); }

void ConsoleSink::FileCheckEnds() { FinishProgress(); }

void ConsoleSink::TransferBegins(FirmwareKind kind, uint32_t total) {
  if (!flowing_) UpgradeInterrupts::FirmwareFlows(true);
  flowing_ = true;
  StartProgress(Plain(UiText(kTransferWordText)), total, kind == FirmwareKind::MultiPart);
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
  EndProgress();
  active_ = true;
  parts_ = parts;
  terminal_ = IsTerminal(stderr);
  label_ = label;
  total_ = total;
  done_ = 0;
  tenthShown_ = -1;
  started_ = std::chrono::steady_clock::now();
  drawn_ = started_ - kRedrawInterval;
  drawnWidth_ = 0;
  ShowProgress(0);
}

void ConsoleSink::ShowProgress(uint64_t done) {
  if (!active_) return;
  done_ = done;
  const double fraction =
      total_ == 0 ? 1.0 : static_cast<double>(done > total_ ? total_ : done) / total_;
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - started_).count();
  char amount[96];
  if (parts_) {
    std::snprintf(amount, sizeof amount, "part %llu of %llu",
                  static_cast<unsigned long long>(done + (done < total_ ? 1 : 0)),
                  static_cast<unsigned long long>(total_));
  } else {
    std::snprintf(amount, sizeof amount, "%s of %s", Size(done).c_str(), Size(total_).c_str());
  }
  if (!terminal_) {
    // Plain lines: the start, then each tenth reached.
    const int tenth = static_cast<int>(fraction * 10);
    if (tenth == tenthShown_) return;
    tenthShown_ = tenth;
    char line[160];
    std::snprintf(line, sizeof line, "%s%s: %3d%% (%s)\n", prefix_.c_str(), label_.c_str(),
                  tenth * 10, amount);
    Err(line);
    return;
  }
  if (now - drawn_ < kRedrawInterval && done < total_) return;
  drawn_ = now;
  std::string bar(kBarWidth, '-');
  for (int i = 0; i < static_cast<int>(fraction * kBarWidth); ++i) bar[i] = '#';
  std::string speed;
  if (!parts_ && seconds > 0.5 && done > 0) {
    const double rate = done / seconds;
    speed = "  " + Size(static_cast<uint64_t>(rate)) + "/s";
    if (done < total_) speed += "  " + Duration((total_ - done) / rate) + " left";
  }
  std::string line = prefix_ + label_ + " [" + bar + "] " +
                     std::to_string(static_cast<int>(fraction * 100)) + "%  " + amount + speed;
  const size_t width = line.size();
  if (width < drawnWidth_) line.append(drawnWidth_ - width, ' ');
  drawnWidth_ = width;
  Err("\r" + line);
}

void ConsoleSink::EndProgress() {
  if (!active_) return;
  active_ = false;
  if (terminal_) Err("\n");
}
