// korvex upgrade: the window program's checks and whole-file verification, then the transfer, on
// one printer or, with --all, on every printer found, one after the other.
#include <memory>
#include <new>
#include <vector>

#include "app/tables.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/interrupt_guard.h"
#include "cli/printers.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
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
  FirmwareOutcome outcome =
      CheckAndSendFirmware(file.Source(), buffers->file.get(), buffers->inflate.get(), &run,
                           buffers->transfer.get());
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
    outcome = CheckAndSendParts(parts.Source(), buffers->part.get(), &run);
    ComposePartsSentMessage(message);
  } else {
    ComposeUpgradeMessage(run, message);
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
  const InterruptGuard guard;
  if (!all) {
    int exitCode = kExitDone;
    if (ChooseAndSelectPrinter(wanted, &printers, &exitCode) < 0) return exitCode;
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
    SelectFoundPrinter(printer);
    sink.Begin(OneLine(printer.id) + ": ");
    const int code = UpgradeSelectedPrinter(path, &buffers, true);
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
