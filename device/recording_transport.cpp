// A transport that tells a conversation log what passes through it.
#include "device/recording_transport.h"

#include <utility>

#include "device/packets.h"

namespace {

uint32_t MillisecondsSince(std::chrono::steady_clock::time_point since) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - since);
  return elapsed.count() < 0 ? 0 : static_cast<uint32_t>(elapsed.count());
}

}  // namespace

// What WritePieces hands its caller's callback, with the firmware's bytes to hash as each piece
// is told taken.
struct RecordingTransport::Pieces {
  RecordingTransport *self;
  const unsigned char *bytes;
  uint32_t length;
  uint32_t pieceBytes;
  uint64_t offset;  // where the bytes told next begin
  bool (*onTaken)(void *context, uint32_t bytes);
  void *context;
};

RecordingTransport::RecordingTransport(std::unique_ptr<PrinterTransport> inner,
                                       ConversationLog *log)
    : inner_(std::move(inner)), log_(log), lastWrite_(Clock::now()) {}

RecordingTransport::~RecordingTransport() {
  // Firmware told so far is not lost with a connection that was never closed.
  std::lock_guard<std::mutex> hold(mutex_);
  EndFirmware();
}

void RecordingTransport::Tell(ConversationEvent event) {
  if (event.kind != ConversationEvent::Kind::Firmware) EndFirmware();
  log_->Record(event);
}

void RecordingTransport::AddFirmware(const unsigned char *bytes, uint32_t length) {
  if (length == 0) return;
  if (!firmware_) firmware_.reset(new Sha256);
  firmware_->Update(bytes, length);
  firmwareBytes_ += length;
}

void RecordingTransport::EndFirmware() {
  if (!firmware_) return;
  ConversationEvent event;
  event.kind = ConversationEvent::Kind::Firmware;
  event.firmwareBytes = firmwareBytes_;
  // A digest the system could not compute stays all zero, which no firmware's is.
  if (!firmware_->Finish(event.digest.data())) event.digest.fill(0);
  firmware_.reset();
  firmwareBytes_ = 0;
  log_->Record(event);
}

void RecordingTransport::TellFailure(ConversationCall call, TransportFailure failure,
                                     Clock::time_point since) {
  ConversationEvent event;
  event.call = call;
  event.failure = failure;
  if (failure == TransportFailure::TimedOut) {
    event.kind = ConversationEvent::Kind::TimedOut;
    event.milliseconds = MillisecondsSince(since);
  } else {
    event.kind = ConversationEvent::Kind::Failed;
  }
  Tell(std::move(event));
}

bool RecordingTransport::Open(TransportMode mode) {
  const bool opened = inner_->Open(mode);
  std::lock_guard<std::mutex> hold(mutex_);
  ConversationEvent event;
  event.kind = ConversationEvent::Kind::Open;
  event.mode = mode;
  Tell(std::move(event));
  if (!opened) TellFailure(ConversationCall::Open, inner_->LastFailure(), Clock::now());
  return opened;
}

bool RecordingTransport::Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
                               uint32_t *written) {
  const bool command = KnownCommandPacket(bytes, length) != nullptr;
  const Clock::time_point started = Clock::now();
  uint32_t taken = 0;
  const bool wrote = inner_->Write(bytes, length, timeoutMs, &taken);
  *written = taken;
  std::lock_guard<std::mutex> hold(mutex_);
  lastWrite_ = Clock::now();
  if (command) {
    if (taken > 0) {
      ConversationEvent event;
      event.kind = ConversationEvent::Kind::Write;
      event.bytes.assign(bytes, bytes + (taken < length ? taken : length));
      Tell(std::move(event));
    }
  } else {
    AddFirmware(bytes, taken < length ? taken : length);
  }
  if (!wrote) {
    TellFailure(command ? ConversationCall::Write : ConversationCall::Firmware,
                inner_->LastFailure(), started);
  }
  return wrote;
}

bool RecordingTransport::Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
                              uint32_t *count) {
  uint32_t got = 0;
  const bool read = inner_->Read(buffer, capacity, timeoutMs, &got);
  *count = got;
  std::lock_guard<std::mutex> hold(mutex_);
  if (!read) {
    TellFailure(ConversationCall::Read, inner_->LastFailure(), lastWrite_);
    return false;
  }
  ConversationEvent event;
  event.kind = ConversationEvent::Kind::Read;
  event.bytes.assign(buffer, buffer + (got < capacity ? got : capacity));
  event.milliseconds = MillisecondsSince(lastWrite_);
  Tell(std::move(event));
  return true;
}

void RecordingTransport::Cancel() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ConversationEvent event;
    event.kind = ConversationEvent::Kind::Cancel;
    Tell(std::move(event));
  }
  inner_->Cancel();
}

uint32_t RecordingTransport::PiecesInFlight() const { return inner_->PiecesInFlight(); }

bool RecordingTransport::PieceTaken(void *context, uint32_t bytes) {
  auto *pieces = static_cast<Pieces *>(context);
  // Bytes are told in order: a piece at a time (libusb), or several pieces at once in one write
  // (usblp). A piece told short moved only its first bytes; what is told next is of the next
  // piece, from its start.
  const uint64_t offset = pieces->offset;
  if (offset < pieces->length) {
    const uint64_t left = pieces->length - offset;
    const uint32_t moved = bytes < left ? bytes : static_cast<uint32_t>(left);
    std::lock_guard<std::mutex> hold(pieces->self->mutex_);
    pieces->self->lastWrite_ = Clock::now();
    pieces->self->AddFirmware(pieces->bytes + offset, moved);
  }
  const uint64_t piece = pieces->pieceBytes;
  pieces->offset = (offset + bytes + piece - 1) / piece * piece;
  return pieces->onTaken(pieces->context, bytes);
}

bool RecordingTransport::WritePieces(const unsigned char *bytes, uint32_t length,
                                     uint32_t pieceBytes, uint32_t stallMs,
                                     bool (*onTaken)(void *context, uint32_t bytes),
                                     void *context) {
  if (pieceBytes == 0) {
    return inner_->WritePieces(bytes, length, pieceBytes, stallMs, onTaken, context);
  }
  Pieces pieces = {this, bytes, length, pieceBytes, 0, onTaken, context};
  const Clock::time_point started = Clock::now();
  const bool wrote =
      inner_->WritePieces(bytes, length, pieceBytes, stallMs, PieceTaken, &pieces);
  const TransportFailure failure = inner_->LastFailure();
  // Stopped by the caller's callback: no failure of the printer's.
  if (!wrote && failure != TransportFailure::None) {
    std::lock_guard<std::mutex> hold(mutex_);
    TellFailure(ConversationCall::Firmware, failure, started);
  }
  return wrote;
}

void RecordingTransport::Close() {
  inner_->Close();
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_) return;
  closed_ = true;
  ConversationEvent event;
  event.kind = ConversationEvent::Kind::Close;
  Tell(std::move(event));
}

TransportFailure RecordingTransport::LastFailure() const { return inner_->LastFailure(); }
