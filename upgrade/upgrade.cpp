// The firmware upgrade's protocol: the two walks of the file, the printer's side of each step.
#include "upgrade/upgrade.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <thread>

#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/operation_sink.h"
#include "firmware/package.h"
#include "info/model_identification.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"
#include "upgrade/transfer.h"

namespace {

// How often a pause between parts looks whether the front end wants the run stopped.
constexpr auto kPauseSlice = std::chrono::milliseconds(100);

// The file as the check reads it: every byte read is counted for the check's progress.
struct CountedFile {
  FirmwareSource file;
  uint64_t read;
  uint64_t size;
};

bool ReadCounted(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  auto *counted = static_cast<CountedFile *>(context);
  const bool ok = counted->file.Read(counted->file.context, out, count, got);
  counted->read += *got;
  return ok;
}

bool SeekCounted(void *context, uint32_t offset) {
  auto *counted = static_cast<CountedFile *>(context);
  counted->read = offset;
  return counted->file.Seek(counted->file.context, offset);
}

bool SizeOfCounted(void *context, uint64_t *size) {
  auto *counted = static_cast<CountedFile *>(context);
  return counted->file.Size(counted->file.context, size);
}

FirmwareSource CountingSource(CountedFile *counted) {
  return FirmwareSource{counted, ReadCounted, SeekCounted, SizeOfCounted};
}

void BeginFileCheck(OperationSink &sink, CountedFile *counted) {
  if (!counted->file.Size(counted->file.context, &counted->size)) counted->size = 0;
  sink.FileCheckBegins(counted->size);
}

// The check has passed: the file is read from its start for the transfer.
bool EndFileCheck(OperationSink &sink, const FirmwareSource &file) {
  sink.FileCheckEnds();
  return file.Seek(file.context, 0);
}

// One block's transfer on a thread of its own, from a copy of the block, while the walk reads and
// inflates the next. Transfers still follow each other: the next starts once this one has ended,
// so the printer gets the bytes, and the sink the progress, in the same order as without.
class OverlappedTransfer {
 public:
  OverlappedTransfer(unsigned char *buffer, PrinterConnection &connection)
      : buffer_(buffer), connection_(connection) {}
  ~OverlappedTransfer() { Finish(); }
  bool Enabled() const { return buffer_ != nullptr; }

  // Starts the chunk's transfer once the one before it has ended; false when that one failed.
  bool Start(const FirmwareChunk *chunk, UpgradeRun *run) {
    if (!Finish()) return false;
    std::memcpy(buffer_, chunk->data, chunk->length);
    const uint32_t length = chunk->length, total = run->total, base = run->sent;
    run->sent += length;
    thread_ = std::thread([this, length, total, base, run] {
      if (SendFirmwareData(connection_, buffer_, length, total, base, 1) < 0) {
        failed_ = true;
        run->sent -= length;
      }
    });
    return true;
  }

  // Waits for the transfer under way; false when it, or one before it, failed.
  bool Finish() {
    if (thread_.joinable()) thread_.join();
    return !failed_;
  }

 private:
  unsigned char *buffer_;
  PrinterConnection &connection_;
  std::thread thread_;
  bool failed_ = false;
};

// What the hooks of both walks share: the run, and the file as the check counts it.
struct RunState {
  PrinterConnection *connection;
  UpgradeRun *run;
  CountedFile counted;
  OverlappedTransfer *overlapped;  // single-image and raw: when the front end gave a buffer
  FirmwareOutcome stopped;         // why a hook stopped the run, when it was not the file
  bool fileChecked;                // the front end has checked the file whole already
};

// A stop the front end asked for ends the walk at the hook that sees it.
bool Stopping(RunState *state) {
  if (!state->connection->sink->StopRequested()) return false;
  state->stopped = FirmwareOutcome::Interrupted;
  return true;
}

bool CheckChunk(void *context, const FirmwareChunk *) {
  auto *state = static_cast<RunState *>(context);
  if (Stopping(state)) return false;
  state->connection->sink->FileCheckProgress(state->counted.read, state->counted.size);
  return true;
}

// The whole file has passed: the transfer starts, of total bytes or parts.
bool StartTransfer(void *context, FirmwareKind kind, uint32_t total) {
  auto *state = static_cast<RunState *>(context);
  UpgradeRun *run = state->run;
  if (Stopping(state)) return false;
  run->total = total;
  run->sent = 0;
  state->connection->sink->TransferBegins(kind, total);
  return true;
}

// The walk's outcome, or why a hook stopped it: a stop the front end asked for ends the walk as
// if the file had ended.
FirmwareOutcome Settle(const RunState &state, FirmwareOutcome outcome) {
  if (state.stopped != FirmwareOutcome::Accepted) return state.stopped;
  if (outcome != FirmwareOutcome::Accepted && state.connection->sink->StopRequested()) {
    return FirmwareOutcome::Interrupted;
  }
  return outcome;
}

// ---- Single-image packages and raw images --------------------------------------------------------


int CheckPackageProductCode(void *context, const unsigned char *productCode) {
  return CheckProductCode(*static_cast<RunState *>(context)->connection, productCode);
}

// The checks have passed: say so, and add the model's note where it belongs before the
// transfer. False when the run is to stop.
bool Accept(RunState *firmware, FirmwareKind kind) {
  if (Stopping(firmware)) return false;
  PrinterConnection &connection = *firmware->connection;
  OperationSink &sink = *connection.sink;
  sink.FileAccepted(kind);
  IdentifyModel(connection);
  firmware->run->category = ModelCategory(connection.displayName);
  if (connection.protocolFamily == 2 && firmware->run->category != 0) {
    sink.ModelNote(firmware->run->category);
  }
  return true;
}

// Accepted, the file is checked to its end. A raw image has nothing more to check.
bool AcceptFile(void *context, FirmwareKind kind, uint32_t) {
  auto *firmware = static_cast<RunState *>(context);
  if (!Accept(firmware, kind) || kind == FirmwareKind::RawImage) return false;
  BeginFileCheck(*firmware->connection->sink, &firmware->counted);
  return true;
}

// A file the front end has checked whole: accepted, its transfer starts at once.
bool AcceptAndStartTransfer(void *context, FirmwareKind kind, uint32_t total) {
  return Accept(static_cast<RunState *>(context), kind) && StartTransfer(context, kind, total);
}

bool SendChunk(void *context, const FirmwareChunk *chunk) {
  auto *state = static_cast<RunState *>(context);
  UpgradeRun *run = state->run;
  if (state->overlapped->Enabled()) return state->overlapped->Start(chunk, run);
  const int sent =
      SendFirmwareData(*state->connection, chunk->data, chunk->length, run->total, run->sent, 1);
  if (sent < 0) return false;
  run->sent += static_cast<uint32_t>(sent);
  return true;
}

// ---- Multi-part packages ---------------------------------------------------------------------------

// One buffer of 8 MiB serves the whole run: the walk reads the 32 header bytes into it, then the
// 44 package header bytes and each part. It can do so because the run's source refuses a file
// that no longer starts like a multi-part package (replaced since the run looked at it), so the
// walk never takes the single-image or raw path, which would need two separate buffers.
struct PartsRun {
  RunState state;  // the hooks' context; its counted file reads through the source below
  FirmwareSource file;
  bool headerRead;
};

bool ReadMultiPart(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  auto *parts = static_cast<PartsRun *>(context);
  if (!parts->file.Read(parts->file.context, out, count, got)) return false;
  if (parts->headerRead) return true;
  parts->headerRead = true;
  return *got < kFirmwareHeaderLength || RecogniseFirmwareFile(out) == FirmwareKind::MultiPart;
}

// Every reading from the start of the file is checked again.
bool SeekMultiPart(void *context, uint32_t offset) {
  auto *parts = static_cast<PartsRun *>(context);
  if (offset == 0) parts->headerRead = false;
  return parts->file.Seek(parts->file.context, offset);
}

bool SizeOfMultiPart(void *context, uint64_t *size) {
  auto *parts = static_cast<PartsRun *>(context);
  return parts->file.Size(parts->file.context, size);
}

int CheckPackage(void *context, const unsigned char *descriptor) {
  PrinterConnection &connection = *static_cast<RunState *>(context)->connection;
  return CheckDeviceId(connection, descriptor) != 0 ||
                 CheckProductCode(connection, descriptor) != 0 ||
                 CheckFirmwareVersion(connection, descriptor) != 0
             ? 1
             : 0;
}

// The checks have passed: say so, and check every part before the first is sent.
bool AcceptParts(void *context, FirmwareKind kind, uint32_t) {
  auto *state = static_cast<RunState *>(context);
  if (Stopping(state)) return false;
  state->connection->sink->FileAccepted(kind);
  if (state->fileChecked) return false;
  BeginFileCheck(*state->connection->sink, &state->counted);
  return true;
}

bool SendPart(void *context, const FirmwareChunk *part) {
  auto *state = static_cast<RunState *>(context);
  UpgradeRun *run = state->run;
  if (Stopping(state)) return false;
  state->connection->sink->PartBegins(part->index, run->total);
  if (SendFirmwareData(*state->connection, part->data, part->length, part->length, 0, 0) < 0) {
    return false;
  }
  run->sent += 1;
  // The printer takes its time with each part; the pause follows the last part too. A stop
  // asked for meanwhile ends it.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(part->delaySeconds);
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    if (Stopping(state)) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kPauseSlice));
  }
  return true;
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

const wchar_t *CategoryNote(int language, int category) {
  return UiTextIn(language, category == 1 ? kCategory1NoteText : kCategory2NoteText);
}

FirmwareOutcome CheckAndSendFirmware(PrinterConnection &connection, const FirmwareSource &file,
                                     unsigned char *fileBuffer, unsigned char *inflateBuffer,
                                     UpgradeRun *run, unsigned char *transferBuffer,
                                     bool fileChecked, const FirmwareChunkSupplier *supplier) {
  OverlappedTransfer overlapped(transferBuffer, connection);
  RunState firmware = {&connection,      run,  {file, 0, 0}, &overlapped, FirmwareOutcome::Accepted,
                       fileChecked};
  // No part buffer: the walk then stops a multi-part package right after recognising it.
  const FirmwareBuffers buffers = {fileBuffer, inflateBuffer, nullptr, supplier};
  if (fileChecked) {
    // The printer's checks and the transfer in one walk: the first block is probed once, not
    // once to accept the file and once more to send it.
    const FirmwareWalkHooks hooks = {&firmware, CheckPackageProductCode, nullptr,
                                     AcceptAndStartTransfer, SendChunk, nullptr};
    FirmwareOutcome outcome = WalkFirmwareFile(&file, &buffers, &hooks, &run->walk);
    if (run->walk.kind != FirmwareKind::MultiPart && !overlapped.Finish()) {
      outcome = FirmwareOutcome::TransferFailed;
    }
    return Settle(firmware, outcome);
  }
  const FirmwareSource counted = CountingSource(&firmware.counted);
  const FirmwareWalkHooks checkHooks = {&firmware, CheckPackageProductCode, nullptr, AcceptFile,
                                        CheckChunk, nullptr};
  FirmwareOutcome outcome =
      Settle(firmware, WalkFirmwareFile(&counted, &buffers, &checkHooks, &run->walk));
  if (run->walk.kind == FirmwareKind::MultiPart) return outcome;
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&firmware, nullptr, nullptr, StartTransfer, SendChunk,
                                         nullptr};
    outcome = EndFileCheck(*connection.sink, file)
                  ? WalkFirmwareFile(&file, &buffers, &sendHooks, &run->walk)
                  : FirmwareOutcome::LoopSeekFailed;
    // A failed transfer came before anything the walk met after it.
    if (!overlapped.Finish()) outcome = FirmwareOutcome::TransferFailed;
    outcome = Settle(firmware, outcome);
  }
  return outcome;
}

FirmwareOutcome CheckAndSendParts(PrinterConnection &connection, const FirmwareSource &file,
                                  unsigned char *partBuffer, UpgradeRun *run, bool fileChecked,
                                  const FirmwareChunkSupplier *supplier) {
  OverlappedTransfer none(nullptr, connection);
  PartsRun parts = {{&connection, run, {}, &none, FirmwareOutcome::Accepted, fileChecked}, file,
                    false};
  const FirmwareSource guarded = {&parts, ReadMultiPart, SeekMultiPart, SizeOfMultiPart};
  parts.state.counted = {guarded, 0, 0};
  const FirmwareSource counted = CountingSource(&parts.state.counted);
  const FirmwareBuffers buffers = {partBuffer, partBuffer, partBuffer, supplier};
  const FirmwareWalkHooks checkHooks = {&parts.state, nullptr, CheckPackage, AcceptParts,
                                        CheckChunk,   nullptr};
  FirmwareOutcome outcome =
      Settle(parts.state, WalkFirmwareFile(&counted, &buffers, &checkHooks, &run->walk));
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&parts.state, nullptr, nullptr, StartTransfer, SendPart,
                                         nullptr};
    outcome = EndFileCheck(*connection.sink, guarded)
                  ? WalkFirmwareFile(&guarded, &buffers, &sendHooks, &run->walk)
                  : FirmwareOutcome::LoopSeekFailed;
    outcome = Settle(parts.state, outcome);
  }
  return outcome;
}

void ComposeUpgradeMessage(const PrinterConnection &connection, const UpgradeRun &run,
                           wchar_t *message) {
  const int language = connection.sink->Language();
  FormatBounded(message, kPaneUnits, InternalString(kOneStringFormat),
                UiTextIn(language, kAfterTransferNoteText));
  if (connection.protocolFamily == 1 && run.category != 0) {
    FormatBounded(message, kPaneUnits, InternalString(kNoteFormat),
                  CategoryNote(language, run.category), UiTextIn(language, kAfterTransferNoteText));
  }
  if (IsFirmwareOnlyDevice(connection.deviceId)) {
    FormatBounded(message, kPaneUnits, InternalString(kFirmwareOnlyFormat),
                  UiTextIn(language, kDoneWordText));
  }
}

void ComposePartsSentMessage(const PrinterConnection &connection, wchar_t *message) {
  FormatBounded(message, kPaneUnits, InternalString(kPartsSentFormat),
                UiTextIn(connection.sink->Language(), kDoneWordText));
}
