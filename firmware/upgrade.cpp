// The firmware upgrade's protocol: the two walks of the file, the printer's side of each step.
#include "firmware/upgrade.h"

#include <chrono>
#include <cstring>
#include <cwchar>
#include <thread>

#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/compatibility.h"
#include "device/discovery.h"
#include "device/operation_sink.h"
#include "firmware/package.h"
#include "firmware/transfer.h"
#include "firmware/upgrade_texts.h"
#include "info/model_identification.h"

namespace {

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

void BeginFileCheck(CountedFile *counted) {
  if (!counted->file.Size(counted->file.context, &counted->size)) counted->size = 0;
  ActiveSink().FileCheckBegins(counted->size);
}

// The check has passed: the file is read from its start for the transfer.
bool EndFileCheck(const FirmwareSource &file) {
  ActiveSink().FileCheckEnds();
  return file.Seek(file.context, 0);
}

// One block's transfer on a thread of its own, from a copy of the block, while the walk reads and
// inflates the next. Transfers still follow each other: the next starts once this one has ended,
// so the printer gets the bytes, and the sink the progress, in the same order as without.
class OverlappedTransfer {
 public:
  explicit OverlappedTransfer(unsigned char *buffer) : buffer_(buffer) {}
  ~OverlappedTransfer() { Finish(); }
  bool Enabled() const { return buffer_ != nullptr; }

  // Starts the chunk's transfer once the one before it has ended; false when that one failed.
  bool Start(const FirmwareChunk *chunk, UpgradeRun *run) {
    if (!Finish()) return false;
    std::memcpy(buffer_, chunk->data, chunk->length);
    const uint32_t length = chunk->length, total = run->total, base = run->sent;
    run->sent += length;
    thread_ = std::thread([this, length, total, base, run] {
      if (SendFirmwareData(buffer_, length, total, base, 1) < 0) {
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
  std::thread thread_;
  bool failed_ = false;
};

// What the hooks of both walks share: the run, and the file as the check counts it.
struct RunState {
  UpgradeRun *run;
  CountedFile counted;
  OverlappedTransfer *overlapped;  // single-image and raw: when the front end gave a buffer
};

bool CheckChunk(void *context, const FirmwareChunk *) {
  const CountedFile &counted = static_cast<RunState *>(context)->counted;
  ActiveSink().FileCheckProgress(counted.read, counted.size);
  return true;
}

// The whole file has passed: the transfer starts, of total bytes or parts.
bool StartTransfer(void *context, FirmwareKind kind, uint32_t total) {
  UpgradeRun *run = static_cast<RunState *>(context)->run;
  run->total = total;
  run->sent = 0;
  ActiveSink().TransferBegins(kind, total);
  return true;
}

// ---- Single-image packages and raw images --------------------------------------------------------


int CheckPackageProductCode(void *, const unsigned char *productCode) {
  return CheckProductCode(productCode);
}

// The checks have passed: say so, add the model's note where it belongs before the transfer,
// and go on to check the rest of the file. A raw image has nothing more to check.
bool AcceptFile(void *context, FirmwareKind kind, uint32_t) {
  auto *firmware = static_cast<RunState *>(context);
  OperationSink &sink = ActiveSink();
  sink.FileAccepted(kind);
  LookUpProtocolFamily();
  ComposeDisplayName();
  firmware->run->category = ModelCategory(currentDisplayName);
  if (protocolFamily == 2 && firmware->run->category != 0) {
    sink.ModelNote(firmware->run->category);
  }
  if (kind == FirmwareKind::RawImage) return false;
  BeginFileCheck(&firmware->counted);
  return true;
}

bool SendChunk(void *context, const FirmwareChunk *chunk) {
  auto *state = static_cast<RunState *>(context);
  UpgradeRun *run = state->run;
  if (state->overlapped->Enabled()) return state->overlapped->Start(chunk, run);
  const int sent = SendFirmwareData(chunk->data, chunk->length, run->total, run->sent, 1);
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

int CheckPackage(void *, const unsigned char *descriptor) {
  return CheckDeviceId(descriptor) != 0 || CheckProductCode(descriptor) != 0 ||
                 CheckFirmwareVersion(descriptor) != 0
             ? 1
             : 0;
}

// The checks have passed: say so, and check every part before the first is sent.
bool AcceptParts(void *context, FirmwareKind kind, uint32_t) {
  ActiveSink().FileAccepted(kind);
  BeginFileCheck(&static_cast<RunState *>(context)->counted);
  return true;
}

bool SendPart(void *context, const FirmwareChunk *part) {
  UpgradeRun *run = static_cast<RunState *>(context)->run;
  ActiveSink().PartBegins(part->index, run->total);
  if (SendFirmwareData(part->data, part->length, part->length, 0, 0) < 0) return false;
  run->sent += 1;
  // The printer takes its time with each part; the pause follows the last part too.
  std::this_thread::sleep_for(std::chrono::seconds(part->delaySeconds));
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

const wchar_t *CategoryNote(int category) {
  return UiText(category == 1 ? kCategory1NoteText : kCategory2NoteText);
}

FirmwareOutcome CheckAndSendFirmware(const FirmwareSource &file, unsigned char *fileBuffer,
                                     unsigned char *inflateBuffer, UpgradeRun *run,
                                     unsigned char *transferBuffer) {
  OverlappedTransfer overlapped(transferBuffer);
  RunState firmware = {run, {file, 0, 0}, &overlapped};
  // No part buffer: the walk then stops a multi-part package right after recognising it.
  const FirmwareBuffers buffers = {fileBuffer, inflateBuffer, nullptr};
  const FirmwareSource counted = CountingSource(&firmware.counted);
  const FirmwareWalkHooks checkHooks = {&firmware, CheckPackageProductCode, nullptr, AcceptFile,
                                        CheckChunk, nullptr};
  FirmwareOutcome outcome = WalkFirmwareFile(&counted, &buffers, &checkHooks, &run->walk);
  if (run->walk.kind == FirmwareKind::MultiPart) return outcome;
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&firmware, nullptr, nullptr, StartTransfer, SendChunk,
                                         nullptr};
    outcome = EndFileCheck(file) ? WalkFirmwareFile(&file, &buffers, &sendHooks, &run->walk)
                                 : FirmwareOutcome::LoopSeekFailed;
    // A failed transfer came before anything the walk met after it.
    if (!overlapped.Finish()) outcome = FirmwareOutcome::TransferFailed;
  }
  return outcome;
}

FirmwareOutcome CheckAndSendParts(const FirmwareSource &file, unsigned char *partBuffer,
                                  UpgradeRun *run) {
  OverlappedTransfer none(nullptr);
  PartsRun parts = {{run, {}, &none}, file, false};
  const FirmwareSource guarded = {&parts, ReadMultiPart, SeekMultiPart, SizeOfMultiPart};
  parts.state.counted = {guarded, 0, 0};
  const FirmwareSource counted = CountingSource(&parts.state.counted);
  const FirmwareBuffers buffers = {partBuffer, partBuffer, partBuffer};
  const FirmwareWalkHooks checkHooks = {&parts.state, nullptr, CheckPackage, AcceptParts,
                                        CheckChunk,   nullptr};
  FirmwareOutcome outcome = WalkFirmwareFile(&counted, &buffers, &checkHooks, &run->walk);
  if (outcome == FirmwareOutcome::Accepted) {
    const FirmwareWalkHooks sendHooks = {&parts.state, nullptr, nullptr, StartTransfer, SendPart,
                                         nullptr};
    outcome = EndFileCheck(guarded) ? WalkFirmwareFile(&guarded, &buffers, &sendHooks, &run->walk)
                                    : FirmwareOutcome::LoopSeekFailed;
  }
  return outcome;
}

void ComposeUpgradeMessage(const UpgradeRun &run, wchar_t *message) {
  FormatBounded(message, kPaneUnits, InternalString(kOneStringFormat),
                UiText(kAfterTransferNoteText));
  if (protocolFamily == 1 && run.category != 0) {
    FormatBounded(message, kPaneUnits, InternalString(kNoteFormat), CategoryNote(run.category),
                  UiText(kAfterTransferNoteText));
  }
  if (IsFirmwareOnlyDevice()) {
    FormatBounded(message, kPaneUnits, InternalString(kFirmwareOnlyFormat), UiText(kDoneWordText));
  }
}

void ComposePartsSentMessage(wchar_t *message) {
  FormatBounded(message, kPaneUnits, InternalString(kPartsSentFormat), UiText(kDoneWordText));
}
