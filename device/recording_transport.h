// A printer's connection that tells everything passing through it to a conversation log: a
// transport wrapped around another one, so that a front end records what a real printer said
// without the protocol above or the backend below knowing of it.
//
// A write is a command when its bytes are one whole packet of a record the tool knows
// (KnownCommandPacket), as a printer tells them apart; anything else is firmware, as are all of
// WritePieces. A command is told with its bytes; firmware only with its length and SHA-256,
// consecutive firmware writes joined into one event (firmware is large and the printer owner's
// file is no business of a recording). A read is told with its bytes and the milliseconds since
// the last write returned.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "device/conversation.h"
#include "device/transport.h"
#include "os/sha256.h"

class RecordingTransport : public PrinterTransport {
 public:
  // Tells log of every call made on inner, which it owns. The log must outlive it.
  RecordingTransport(std::unique_ptr<PrinterTransport> inner, ConversationLog *log);
  ~RecordingTransport() override;

  bool Open(TransportMode mode) override;
  bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
             uint32_t *written) override;
  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
            uint32_t *count) override;
  void Cancel() override;
  uint32_t PiecesInFlight() const override;
  bool WritePieces(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                   uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                   void *context) override;
  void Close() override;
  TransportFailure LastFailure() const override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Pieces;
  static bool PieceTaken(void *context, uint32_t bytes);

  // Each with mutex_ held.
  void Tell(ConversationEvent event);
  void AddFirmware(const unsigned char *bytes, uint32_t length);
  void EndFirmware();
  void TellFailure(ConversationCall call, TransportFailure failure, Clock::time_point since);

  std::unique_ptr<PrinterTransport> inner_;
  ConversationLog *log_;
  std::mutex mutex_;
  std::unique_ptr<Sha256> firmware_;  // firmware written since the last other event
  uint64_t firmwareBytes_ = 0;
  Clock::time_point lastWrite_;
  bool closed_ = false;
};
