// korvex upgrade: the window program's checks and whole-file verification, then the transfer, on
// one printer or, with --all, on every printer found, one after the other. The printer is held
// open from the first firmware byte to the last, pauses between parts included, so that no other
// program can take it halfway (the usblp driver admits one open at a time).
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "app/tables.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/interrupts.h"
#include "cli/printers.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "firmware/upgrade.h"
#include "firmware/upgrade_texts.h"

namespace {

// The run's buffers, allocated once for every printer of the run; the part buffer only when a
// multi-part package needs it.
struct Buffers {
  std::unique_ptr<unsigned char[]> file{new (std::nothrow) unsigned char[kFileBufferSize]};
  std::unique_ptr<unsigned char[]> inflate{new (std::nothrow) unsigned char[kInflateBufferSize]};
  // The next block is inflated while this one is written from here.
  std::unique_ptr<unsigned char[]> transfer{new (std::nothrow) unsigned char[kInflateBufferSize]};
  std::unique_ptr<unsigned char[]> part;
};

void ReportNoOpen() {
  ReportFailure(InternalString(kCannotOpenString), InternalString(kNoString),
                InternalString(kNoString));
}

// The printer's connection for one run, cancelled with the others when the run is stopped.
class HeldConnection {
 public:
  HeldConnection() : connection_(NewPrinterTransport(currentDevicePath)) {
    UpgradeInterrupts::Watch(connection_.get());
  }
  ~HeldConnection() {
    UpgradeInterrupts::Forget(connection_.get());
    connection_->Close();
  }
  HeldConnection(const HeldConnection &) = delete;
  HeldConnection &operator=(const HeldConnection &) = delete;
  PrinterTransport *get() const { return connection_.get(); }

 private:
  std::unique_ptr<PrinterTransport> connection_;
};

// A run that was stopped, or whose printer could not be opened for the transfer: what got
// through, and the code.
int EndOfStoppedRun(FirmwareOutcome outcome, const PrinterTransport &connection) {
  ConsoleSink &sink = TheConsoleSink();
  if (outcome == FirmwareOutcome::ConnectionFailed && !UpgradeInterrupts::StopRequested()) {
    sink.Say("error: " + WhyNotOpened(connection.LastFailure()) + "; nothing was sent");
    return kExitNothingSent;
  }
  const std::string by = "stopped by " + UpgradeInterrupts::StopReason();
  if (!sink.FirmwareReachedPrinter()) {
    sink.Say(by + " before any firmware was sent; nothing was sent");
    return kExitNothingSent;
  }
  // A write that was ended may have put part of its piece into the printer as well.
  const bool cut = connection.LastFailure() == TransportFailure::Cancelled;
  sink.Say(by + ": " + std::to_string(sink.FirmwareBytesWritten()) +
           " bytes of firmware had reached the printer" +
           (cut ? ", and part of the piece being written may have" : "") +
           ". The printer may need attention: upgrade it again.");
  return kExitSendIncomplete;
}

// The upgrade of the selected printer from the file at path; the exit code. The words of success
// are the run's result (standard output) unless a summary follows (then standard error).
int UpgradeSelectedPrinter(const std::string &path, Buffers *buffers, bool summaryFollows) {
  ConsoleSink &sink = TheConsoleSink();
  if (!buffers->file || !buffers->inflate) {
    sink.Say("error: not enough memory for the firmware file's buffers");
    return kExitNothingSent;
  }
  FirmwareFileReader file(path.c_str());
  if (!file.IsOpen()) {
    ReportNoOpen();
    return kExitNothingSent;
  }
  UpgradeRun run = {};
  const HeldConnection connection;
  FirmwareOutcome outcome =
      CheckAndSendFirmware(file.Source(), buffers->file.get(), buffers->inflate.get(), &run,
                           buffers->transfer.get(), connection.get());
  file.Close();
  wchar_t message[kPaneUnits] = {};
  if (run.walk.kind == FirmwareKind::MultiPart) {
    // A multi-part package is read anew from its start, as the window program does.
    if (!buffers->part) buffers->part.reset(new (std::nothrow) unsigned char[kPartBufferSize]);
    FirmwareFileReader parts(path.c_str());
    if (!buffers->part || !parts.IsOpen()) {
      ReportNoOpen();
      return kExitNothingSent;
    }
    outcome = CheckAndSendParts(parts.Source(), buffers->part.get(), &run, connection.get());
    ComposePartsSentMessage(message);
  } else {
    ComposeUpgradeMessage(run, message);
  }
  sink.EndTransfer();
  if (outcome == FirmwareOutcome::Interrupted || outcome == FirmwareOutcome::ConnectionFailed ||
      (outcome != FirmwareOutcome::Accepted && UpgradeInterrupts::StopRequested())) {
    return EndOfStoppedRun(outcome, *connection.get());
  }
  if (outcome != FirmwareOutcome::Accepted) {
    // Refusals of the compatibility checks have been reported by the checks.
    const int text = FirmwareFailureText(outcome);
    if (text >= 0) {
      ReportFailure(InternalString(text), InternalString(kNoString), InternalString(kNoString));
    }
    return sink.FirmwareReachedPrinter() ? kExitSendIncomplete : kExitNothingSent;
  }
  sink.FinishProgress();
  std::string result;
  if (run.walk.kind != FirmwareKind::MultiPart) {
    wchar_t line[kPaneUnits];
    FormatBounded(line, kPaneUnits, InternalString(kFinalLineFormat), L"",
                  UiText(kTransferWordText), run.total, run.total, UiText(kDoneWordText));
    result = Plain(line) + "\n";
  }
  result += Plain(message);
  if (summaryFollows) {
    sink.Say(result);
  } else {
    Out(result + "\n");
  }
  return kExitDone;
}

}  // namespace

int RunUpgrade(const std::string &path, const std::string &wanted, bool all) {
  std::vector<FoundPrinter> printers;
  Buffers buffers;
  ConsoleSink &sink = TheConsoleSink();
  const UpgradeInterrupts interrupts;
  if (!all) {
    int exitCode = kExitDone;
    if (ChooseAndSelectPrinter(wanted, &printers, &exitCode) < 0) return exitCode;
    if (!SelectedPrinterOpens()) return kExitNothingSent;
    sink.Begin("");
    return UpgradeSelectedPrinter(path, &buffers, false);
  }

  if (!FindPrinters(&printers) || printers.empty()) {
    SayNoPrinter();
    return kExitNoPrinter;
  }
  int worst = kExitDone;
  int upgraded = 0;
  std::vector<std::string> lines;
  for (const FoundPrinter &printer : printers) {
    // A run that was stopped leaves the printers after it alone.
    if (UpgradeInterrupts::StopRequested()) {
      lines.push_back(OneLine(printer.id) + "  " + printer.displayName +
                      "  not upgraded: stopped before its turn (exit 4)\n");
      worst = std::max(worst, kExitNothingSent);
      continue;
    }
    SelectFoundPrinter(printer);
    sink.Begin(OneLine(printer.id) + ": ");
    const int code = SelectedPrinterOpens() ? UpgradeSelectedPrinter(path, &buffers, true)
                                            : kExitNothingSent;
    std::string line = OneLine(printer.id) + "  " + printer.displayName + "  ";
    if (code == kExitDone) {
      ++upgraded;
      line += "upgraded";
    } else {
      line += code == kExitSendIncomplete ? "FAILED after firmware reached it" : "not upgraded";
      if (!sink.LastFailure().empty()) line += ": " + sink.LastFailure();
    }
    lines.push_back(line + " (exit " + std::to_string(code) + ")\n");
    if (code > worst) worst = code;
  }
  for (const std::string &line : lines) Out(line);
  Out(std::to_string(printers.size()) + " printers: " + std::to_string(upgraded) + " upgraded, " +
      std::to_string(printers.size() - upgraded) + " not; exit " + std::to_string(worst) + "\n");
  return worst;
}
