// A stand-in printer that answers as a recording says (device/recording_format.h): the printer
// logic of a real printer's conversation, for every stand-in (the pty printer, the gadget
// printer, the Windows simulated printer), beside printer_logic.h.
//
// The recording's requests are its command writes and its firmware, in order. An incoming
// command must equal the next recorded write, byte for byte; the reads recorded after that write
// are then its replies, each due as long after the command came as it came after the recorded
// write (at most kMaxReplyDelayMs). Firmware is counted against the next recorded firmware event
// and checked by its SHA-256 once its last byte has come. A request that differs from the
// recording is reported, with the recording's line and the first byte that differs, and goes
// unanswered, as a printer answers a command it does not understand; the recording stays where
// it was, so that the next request is held against the same line.
//
// How a transfer is told from firmware is the recording's own rule: a whole packet is a command
// (KnownCommandPacket when the tool knows its record), anything else firmware.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/recording_format.h"
#include "printer_logic.h"

class Sha256;

struct ReplayReply {
  Transfer block;
  uint32_t delayMs;  // after the command came in
};

class ReplayEngine {
 public:
  // The longest a reply is held back: a printer's slow answer stays slow, but well within the
  // 5 s a program waits for a block.
  static constexpr uint32_t kMaxReplyDelayMs = 2000;

  explicit ReplayEngine(const Recording &recording);
  ~ReplayEngine();
  ReplayEngine(const ReplayEngine &) = delete;
  ReplayEngine &operator=(const ReplayEngine &) = delete;

  // One transfer as the stand-in received it: a command packet (kCommand when it is the next
  // recorded write, with its replies appended; kUnknownCommand when it differs) or firmware
  // (kFirmware, whatever the recording says of it). What differs from the recording is
  // appended to reports, one line each.
  TransferKind Take(const unsigned char *data, size_t length, std::vector<ReplayReply> *replies,
                    std::vector<std::string> *reports);

  const RecordingHeader &Header() const { return header_; }
  size_t Requests() const { return requests_.size(); }
  // Requests made as recorded so far, and those that differed.
  size_t Matched() const { return matched_; }
  size_t Mismatches() const { return mismatches_; }
  // Every request of the recording was made, none differed.
  bool Clean() const { return matched_ == requests_.size() && mismatches_ == 0; }
  // One line: how many requests came as recorded, how many differed, and the first one that
  // never came.
  std::string Summary() const;

 private:
  struct Request {
    int line;
    bool firmware;
    Transfer bytes;        // a command
    uint64_t firmwareBytes;  // firmware
    std::array<unsigned char, kConversationDigestBytes> digest;
    std::vector<ReplayReply> replies;
  };

  std::string Where() const;
  void TakeFirmware(const unsigned char *data, size_t length, std::vector<std::string> *reports);

  RecordingHeader header_;
  std::vector<Request> requests_;
  int lastLine_ = 1;          // of the recording
  size_t next_ = 0;           // the request expected next
  uint64_t firmwareTaken_ = 0;  // of the firmware request expected next
  std::unique_ptr<Sha256> firmwareHash_;
  size_t matched_ = 0;
  size_t mismatches_ = 0;
};

// A recording file for a stand-in: read whole and refused when damaged or of another version;
// false with *error saying which file and why.
bool LoadReplay(const std::string &path, Recording *recording, std::string *error);
