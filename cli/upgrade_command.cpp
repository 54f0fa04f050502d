// korvex upgrade: the firmware file checked whole once, before any printer is touched; then each
// printer upgraded on a connection and a thread of its own, all at once (or --jobs at a time),
// with the window program's checks against the printer and its transfer; with --verify, each
// printer seen back on its new firmware. Each printer is held open from its first question to
// its last firmware byte, pauses between parts included, so that no other program can take it
// halfway (the usblp driver admits one open at a time). One printer's failure, silence or
// unplugging never stops or slows the others.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/file_digest.h"
#include "cli/interrupts.h"
#include "cli/printers.h"
#include "cli/verify.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "info/information_query.h"
#include "info/model_identification.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"
#include "upgrade/read_ahead.h"
#include "upgrade/shared_unpacking.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

// How bad a printer's code is, for the code of a run over several: a printer holding part of a
// firmware needs someone most; then one not seen back on its new firmware; then one that did not
// answer; then a refusal with nothing sent; then nothing to do.
int Severity(int code) {
  switch (code) {
    case kExitDone: return 0;
    case kExitNoPrinter: return 1;
    case kExitNothingSent: return 2;
    case kExitFailed: return 3;
    case kExitNotSeenBack: return 4;
    case kExitSendIncomplete: return 5;
    default: return 3;
  }
}

// The unpacked chunks kept for printers that have yet to send them, at most: an 8 MiB package
// whole, or a few of the largest blocks.
constexpr size_t kKeptUnpackedBytes = 64u << 20;

// A run's buffers; untouched pages cost no memory, so each is as large as a file may need. A
// printer whose walk is handed chunks unpacked for all (shared) needs room for framing alone.
struct Buffers {
  Buffers(bool overlapped, bool shared)
      : file(new (std::nothrow) unsigned char[shared ? kFramingBytes : kFileBufferSize]),
        inflate(shared ? nullptr : new (std::nothrow) unsigned char[kInflateBufferSize]),
        transfer(overlapped ? new (std::nothrow) unsigned char[kInflateBufferSize] : nullptr),
        part(new (std::nothrow) unsigned char[shared ? kFramingBytes : kPartBufferSize]),
        shared(shared) {}
  bool Complete() const { return file && (inflate || shared) && part; }
  std::unique_ptr<unsigned char[]> file, inflate, transfer, part;
  bool shared;
};

// What happened to one printer.
struct PrinterResult {
  FoundPrinter printer;
  int code = kExitNothingSent;
  std::string result;   // in a word or three
  std::string message;  // the reason, or the words of success, on one line
  std::vector<std::string> doneLines;  // a single printer's result on standard output
  uint64_t bytes = 0;
  double seconds = 0;
  std::string before, after;  // the firmware versions; empty where not known
  bool unchanged = false;     // back on the version it had before
  std::string idAfter;        // the id it came back with, when not the one it was chosen by
};

// What every printer's run shares, read-only once they start.
struct FleetRun {
  const UpgradeOptions *options;
  const FirmwareFileReader *checked;  // the file as it was checked whole, held open
  FirmwareKind kind;
  bool several;
  bool overlapped;  // the next block is unpacked while this one is written (one printer)
  SharedUnpacking *unpacking;  // several printers at once: the file unpacked once for all
};

std::string Version(const PrinterConnection &connection) {
  return OneLine(connection.fields.firmwareVersion);
}

// The printer's words of success: the transfer's line and the note, as the window program ends.
std::vector<std::string> DoneLines(const PrinterConnection &connection, const UpgradeRun &run,
                                   FirmwareKind kind) {
  wchar_t message[kPaneUnits] = {};
  std::vector<std::string> lines;
  if (kind == FirmwareKind::MultiPart) {
    ComposePartsSentMessage(connection, message);
  } else {
    ComposeUpgradeMessage(connection, run, message);
    wchar_t line[kPaneUnits];
    FormatBounded(line, kPaneUnits, InternalString(kFinalLineFormat), L"",
                  UiTextIn(kEnglish, kTransferWordText), run.total, run.total,
                  UiTextIn(kEnglish, kDoneWordText));
    lines.push_back(Plain(line));
  }
  lines.push_back(Plain(message));
  return lines;
}

// A run that was stopped, or a transfer the printer stalled: what got through, and the code.
void EndOfCutTransfer(ConsoleSink &sink, const PrinterConnection &connection,
                      PrinterResult *result) {
  const bool cut = connection.lastFailure == TransportFailure::Cancelled ||
                   connection.lastFailure == TransportFailure::TimedOut;
  const bool stalled = connection.lastFailure == TransportFailure::TimedOut &&
                       !UpgradeInterrupts::StopRequested();
  const std::string by = stalled ? "stopped: the printer took nothing for " +
                                       std::to_string(connection.stallMilliseconds / 1000) + " s"
                                 : "stopped by " + UpgradeInterrupts::StopReason();
  if (!sink.FirmwareReachedPrinter()) {
    result->code = kExitNothingSent;
    result->message = by + " before any firmware was sent; nothing was sent";
  } else {
    result->code = kExitSendIncomplete;
    result->message = by + ": " + std::to_string(sink.FirmwareBytesWritten()) +
                      " bytes of firmware had reached the printer" +
                      (cut ? ", and part of the piece being written may have" : "") +
                      ". The printer may need attention: upgrade it again.";
  }
  sink.Say(result->message);
}

// Waits for the printer to restart onto its new firmware and asks it which version it runs.
void SeeItBack(const FleetRun &fleet, ConsoleSink &sink, PrinterResult *result) {
  const UpgradeOptions &options = *fleet.options;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.verifySeconds);
  sink.Say("waiting for the printer to restart on its new firmware (at most " +
           std::to_string(options.verifySeconds) + " s)");
  FoundPrinter back;
  const RestartSeen seen = WaitForRestart(result->printer, deadline, &back);
  if (seen == RestartSeen::Back && AskVersionUntil(back, &sink, deadline, &result->after)) {
    // The result stays under the id the printer was chosen by; the one it has now is told too.
    if (back.id != result->printer.id) result->idAfter = back.id;
    const std::string shown = (result->before.empty() ? "?" : result->before) + " -> " +
                              result->after;
    if (!options.expectVersion.empty() && result->after != options.expectVersion) {
      result->code = kExitNotSeenBack;
      result->result = "back on another version";
      result->message = "back on firmware " + result->after + ", not " + options.expectVersion;
      sink.Say("error: " + result->message);
      return;
    }
    result->unchanged = result->after == result->before;
    result->message = "firmware " + shown;
    if (result->unchanged) {
      result->message += " (unchanged)";
      sink.Say("warning: the printer is back on the firmware version it had before, " +
               result->after);
    } else {
      sink.Say("back on firmware " + shown);
    }
    return;
  }
  result->code = kExitNotSeenBack;
  result->result = "not seen back";
  switch (seen) {
    case RestartSeen::NotGone:
      result->message = "the printer did not restart within " +
                        std::to_string(options.verifySeconds) + " s";
      break;
    case RestartSeen::Stopped:
      result->message = "stopped by " + UpgradeInterrupts::StopReason() +
                        " while waiting for the printer to restart";
      break;
    case RestartSeen::Back:
      // Back, but it never told its version: asked until the time ran out, or stopped.
      result->message = UpgradeInterrupts::StopRequested()
                            ? "stopped by " + UpgradeInterrupts::StopReason() +
                                  " while asking the printer for its new firmware version"
                            : "the printer came back but did not tell its firmware version within " +
                                  std::to_string(options.verifySeconds) + " s";
      break;
    default:
      result->message = "the printer was not back within " + std::to_string(options.verifySeconds) +
                        " s";
  }
  sink.Say("error: " + result->message);
}

// One printer's whole upgrade.
PrinterResult UpgradePrinter(const FleetRun &fleet, const FoundPrinter &found) {
  const UpgradeOptions &options = *fleet.options;
  const Clock::time_point started = Clock::now();
  PrinterResult result;
  result.printer = found;
  ConsoleSink sink(fleet.several ? OneLine(found.id) + ": " : std::string());
  auto finish = [&]() {
    sink.EndTransfer();
    result.bytes = sink.FirmwareBytesWritten();
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (result.result.empty()) {
      result.result = result.code == kExitDone            ? "upgraded"
                      : result.code == kExitSendIncomplete ? "FAILED after firmware reached it"
                                                           : "not upgraded";
    }
    // A line cut short says so where it stops.
    sink.EndProgress(result.code == kExitDone ? std::string() : result.result);
    return result;
  };
  if (UpgradeInterrupts::StopRequested()) {
    result.message = "stopped before its turn";
    return finish();
  }
  // From the start: what this printer has yet to send is kept for it while it asks its questions.
  std::unique_ptr<SharedUnpacking::Share> share(
      fleet.unpacking ? new SharedUnpacking::Share(*fleet.unpacking) : nullptr);

  HeldPrinter printer(found, &sink);
  const TransportFailure failure = printer.Open();
  if (failure != TransportFailure::None) {
    result.code = failure == TransportFailure::Gone ? kExitNoPrinter : kExitNothingSent;
    result.message = WhyNotOpened(failure) + "; nothing was sent";
    sink.Say("error: " + result.message);
    return finish();
  }
  PrinterConnection &connection = printer.connection();
  connection.stallMilliseconds = static_cast<uint32_t>(static_cast<uint64_t>(options.stallSeconds) * 1000);

  // The version before, for --verify to compare with (a boot loader may not tell it).
  if (options.verify && connection.protocolFamily != 0 &&
      !IsFirmwareOnlyDevice(connection.deviceId) && AskFirmwareVersion(connection) == 0) {
    result.before = Version(connection);
  }

  Buffers buffers(fleet.overlapped, share != nullptr);
  const FirmwareChunkSupplier *supplier = share ? share->Supplier() : nullptr;
  FirmwareFileReader file(options.file.c_str());
  if (!buffers.Complete()) {
    result.message = "not enough memory for the firmware file's buffers";
    sink.Say("error: " + result.message);
    return finish();
  }
  if (!file.IsOpen() || !file.SameFileAs(*fleet.checked)) {
    result.message = "the firmware file changed since it was checked; nothing was sent";
    sink.Say("error: " + result.message);
    return finish();
  }
  UpgradeRun run = {};
  const FirmwareOutcome outcome =
      fleet.kind == FirmwareKind::MultiPart
          ? CheckAndSendParts(connection, file.Source(), buffers.part.get(), &run, true, supplier)
          : CheckAndSendFirmware(connection, file.Source(), buffers.file.get(),
                                 buffers.inflate.get(), &run, buffers.transfer.get(), true,
                                 supplier);
  file.Close();
  share.reset();
  sink.EndTransfer();
  // A transfer that delivered every byte is done, whatever an earlier question left behind.
  const bool stalled = outcome != FirmwareOutcome::Accepted &&
                       connection.lastFailure == TransportFailure::TimedOut;
  if (outcome == FirmwareOutcome::Interrupted || stalled ||
      (outcome != FirmwareOutcome::Accepted && UpgradeInterrupts::StopRequested())) {
    EndOfCutTransfer(sink, connection, &result);
    return finish();
  }
  if (outcome != FirmwareOutcome::Accepted) {
    // Refusals of the compatibility checks have been reported by the checks.
    const int text = FirmwareFailureText(outcome);
    if (text >= 0) {
      ReportFailure(connection, InternalString(text), InternalString(kNoString),
                    InternalString(kNoString));
    }
    result.code = sink.FirmwareReachedPrinter() ? kExitSendIncomplete : kExitNothingSent;
    result.message = sink.LastFailure();
    return finish();
  }
  sink.FinishProgress();
  result.code = kExitDone;
  result.doneLines = DoneLines(connection, run, fleet.kind);
  result.message = result.doneLines.back();
  if (fleet.several) sink.Say(result.doneLines.front());
  // The printer restarts on its own: it is let go of first.
  printer.Close();
  if (options.verify) SeeItBack(fleet, sink, &result);
  return finish();
}

// The file checked whole, as the window program checks it before anything is sent, with no
// printer: a damaged file touches none.
FirmwareOutcome CheckWholeFile(FirmwareFileReader &file, const char *path, FirmwareWalk *walk) {
  // Each next block is unpacked beside the walk, from a reader of its own of the same file.
  FirmwareFileReader second(path);
  std::unique_ptr<ReadAheadUnpacking> ahead;
  if (second.IsOpen() && second.SameFileAs(file)) ahead.reset(new ReadAheadUnpacking(second.Source()));
  Buffers buffers(false, ahead != nullptr);
  if (!buffers.Complete()) return FirmwareOutcome::OpenFailed;
  ConsoleSink sink;
  struct Check {
    ConsoleSink *sink;
    uint64_t size;
    FirmwareSource source;
    uint64_t read;
  } check = {&sink, 0, file.Source(), 0};
  const FirmwareSource counted = {
      &check,
      [](void *context, unsigned char *out, uint32_t count, uint32_t *got) {
        auto *c = static_cast<Check *>(context);
        const bool ok = c->source.Read(c->source.context, out, count, got);
        c->read += *got;
        return ok;
      },
      [](void *context, uint32_t offset) {
        auto *c = static_cast<Check *>(context);
        c->read = offset;
        return c->source.Seek(c->source.context, offset);
      },
      [](void *context, uint64_t *size) {
        auto *c = static_cast<Check *>(context);
        return c->source.Size(c->source.context, size);
      }};
  if (!check.source.Size(check.source.context, &check.size)) check.size = 0;
  sink.FileCheckBegins(check.size);
  const FirmwareWalkHooks hooks = {
      &check, nullptr, nullptr,
      // A raw image has nothing more to check than its first bytes: it is read once, as sent.
      [](void *, FirmwareKind kind, uint32_t) { return kind != FirmwareKind::RawImage; },
      [](void *context, const FirmwareChunk *) {
        auto *c = static_cast<Check *>(context);
        c->sink->FileCheckProgress(c->read, c->size);
        return !UpgradeInterrupts::StopRequested();
      },
      nullptr};
  const FirmwareBuffers walkBuffers = {buffers.file.get(), buffers.inflate.get(),
                                       buffers.part.get(), ahead ? ahead->Supplier() : nullptr};
  const FirmwareOutcome outcome = WalkFirmwareFile(&counted, &walkBuffers, &hooks, walk);
  if (outcome == FirmwareOutcome::Accepted) sink.FileCheckEnds();
  return outcome;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

nlohmann::json Nullable(const std::string &text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

void PrintJson(const UpgradeOptions &options, const std::vector<PrinterResult> &results,
               int code) {
  nlohmann::json printers = nlohmann::json::array();
  for (const PrinterResult &r : results) {
    nlohmann::json one = {{"id", r.printer.id},
                          {"serial", r.printer.serial},
                          {"display_name", r.printer.displayName},
                          {"exit_code", r.code},
                          {"result", r.result},
                          {"message", r.message},
                          {"bytes_sent", r.bytes},
                          {"seconds", std::round(r.seconds * 10) / 10},
                          {"firmware_before", Nullable(r.before)}};
    if (options.verify) {
      one["firmware_after"] = Nullable(r.after);
      one["firmware_unchanged"] = r.unchanged;
      one["id_after"] = Nullable(r.idAfter);
    }
    printers.push_back(one);
  }
  Out(JsonText({{"file", options.file}, {"exit_code", code}, {"printers", printers}}));
}

// One line a printer under a heading: id, serial, seconds and result, as a table.
void PrintTable(const std::vector<PrinterResult> &results, int code) {
  size_t idWidth = 7, serialWidth = 6;
  for (const PrinterResult &r : results) {
    idWidth = std::max(idWidth, OneLine(r.printer.id).size());
    serialWidth = std::max(serialWidth, OneLine(r.printer.serial).size());
  }
  auto pad = [](std::string text, size_t width) {
    text.resize(std::max(text.size(), width), ' ');
    return text;
  };
  Out(pad("PRINTER", idWidth) + "  " + pad("SERIAL", serialWidth) + "  SECONDS  RESULT\n");
  int upgraded = 0;
  for (const PrinterResult &r : results) {
    if (r.code == kExitDone) ++upgraded;
    std::string line = r.printer.displayName + "  " + r.result;
    // The words of success are the same for every printer; a verified one says what it runs.
    if (!r.message.empty() && (r.code != kExitDone || !r.after.empty())) {
      std::string message = r.message;
      std::replace(message.begin(), message.end(), '\n', ' ');
      line += ": " + message;
    }
    const std::string serial = r.printer.serial.empty() ? "-" : OneLine(r.printer.serial);
    Out(pad(OneLine(r.printer.id), idWidth) + "  " + pad(serial, serialWidth) + "  " +
        pad(Seconds(r.seconds), 7) + "  " + line + " (exit " + std::to_string(r.code) + ")\n");
  }
  Out(std::to_string(results.size()) + " printers: " + std::to_string(upgraded) + " upgraded, " +
      std::to_string(results.size() - upgraded) + " not; exit " + std::to_string(code) + "\n");
}

// A run that ended before any printer's upgrade began: with --json, a document that says so
// (no printer in it), so that a script always has one to read.
int EndedEarly(const UpgradeOptions &options, int code, const std::string &why) {
  if (options.json) {
    Out(JsonText({{"file", options.file},
                  {"exit_code", code},
                  {"message", why},
                  {"printers", nlohmann::json::array()}}));
  }
  return code;
}

}  // namespace

int RunUpgrade(const UpgradeOptions &options) {
  const UpgradeInterrupts interrupts;
  std::vector<FoundPrinter> found;
  std::vector<LeftOutPrinter> leftOut;
  if (!FindPrinters(&found, &leftOut)) {
    Err("korvex: the system gives no list of USB printers\n");
    return EndedEarly(options, kExitNoPrinter, "the system gives no list of USB printers");
  }
  if (found.empty()) {
    SayNoPrinter(leftOut);
    return EndedEarly(options, kExitNoPrinter, "no printer found");
  }
  std::vector<FoundPrinter> chosen;
  if (options.all) {
    chosen = found;
  } else if (options.printers.empty()) {
    const int index = ChoosePrinter("", found);
    if (index < 0) {
      return EndedEarly(options, kExitNoPrinter, "several printers found and none named");
    }
    chosen.push_back(found[index]);
  } else {
    for (const std::string &wanted : options.printers) {
      const int index = ChoosePrinter(wanted, found);
      if (index < 0) return EndedEarly(options, kExitNoPrinter, "no printer \"" + wanted + "\"");
      const bool twice = std::any_of(chosen.begin(), chosen.end(), [&](const FoundPrinter &p) {
        return p.id == found[index].id;
      });
      if (!twice) chosen.push_back(found[index]);
    }
  }

  if (!OpenRecordings(AsRecorded(chosen))) {
    return EndedEarly(options, kExitUsage, "the recording cannot be written");
  }

  FirmwareFileReader checked(options.file.c_str());
  if (!checked.IsOpen()) {
    const std::string why = Plain(InternalString(kCannotOpenString));
    ConsoleSink().Say("error: " + why + " " + Plain(UiTextIn(kEnglish, kDefaultDetailText)));
    return EndedEarly(options, kExitNothingSent, why);
  }
  if (!options.expectSha256.empty()) {
    std::string actual;
    if (!FileHasSha256(checked.Source(), options.expectSha256, &actual)) {
      const std::string why =
          actual.empty() ? Plain(InternalString(kCannotOpenString)) + " No printer was touched."
                         : "the firmware file's SHA-256 is " + actual + ", not the one expected (" +
                               options.expectSha256 + "). No printer was touched.";
      ConsoleSink().Say("error: " + why);
      return EndedEarly(options, kExitNothingSent, why);
    }
  }
  FirmwareWalk walk = {};
  const FirmwareOutcome verdict = CheckWholeFile(checked, options.file.c_str(), &walk);
  if (verdict != FirmwareOutcome::Accepted) {
    std::string why;
    if (UpgradeInterrupts::StopRequested()) {
      why = "stopped by " + UpgradeInterrupts::StopReason() +
            " before any firmware was sent; nothing was sent";
    } else {
      const int text = FirmwareFailureText(verdict);
      why = Plain(InternalString(text >= 0 ? text : kCannotOpenString)) + " No printer was touched.";
      ConsoleSink().Say("error: " + why);
      return EndedEarly(options, kExitNothingSent, why);
    }
    ConsoleSink().Say(why);
    return EndedEarly(options, kExitNothingSent, why);
  }

  FleetRun fleet = {&options, &checked, walk.kind, chosen.size() > 1, false, nullptr};
  const size_t jobs = options.jobs > 0 ? std::min<size_t>(options.jobs, chosen.size())
                                       : chosen.size();
  fleet.overlapped = jobs == 1;
  // Printers that take the file at once take it unpacked once; one at a time, each printer's
  // walk unpacks the next block while the printer takes this one.
  std::unique_ptr<SharedUnpacking> unpacking;
  if (jobs > 1) {
    unpacking.reset(new SharedUnpacking(
        checked.Source(), walk.kind == FirmwareKind::RawImage ? nullptr : walk.productCode,
        kKeptUnpackedBytes));
    fleet.unpacking = unpacking.get();
  }
  std::vector<PrinterResult> results(chosen.size());
  std::atomic<size_t> next{0};
  auto worker = [&]() {
    for (size_t i = next++; i < chosen.size(); i = next++) {
      results[i] = UpgradePrinter(fleet, chosen[i]);
    }
  };
  if (jobs == 1) {
    worker();
  } else {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs; ++i) threads.emplace_back(worker);
    for (std::thread &thread : threads) thread.join();
  }

  int code = kExitDone;
  for (const PrinterResult &r : results) {
    if (Severity(r.code) > Severity(code)) code = r.code;
  }
  if (options.json) {
    PrintJson(options, results, code);
  } else if (fleet.several) {
    PrintTable(results, code);
  } else if (results[0].code == kExitDone) {
    std::string text;
    for (const std::string &line : results[0].doneLines) text += line + "\n";
    if (options.verify) text += results[0].message + "\n";
    Out(text);
  }
  return code;
}
