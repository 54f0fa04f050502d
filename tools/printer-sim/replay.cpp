// Answering as a recording says.
#include "replay.h"

#include <algorithm>
#include <cstdio>

#include "device/packets.h"
#include "os/sha256.h"

namespace {

std::string HexByte(unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

std::string HexDigest(const unsigned char *digest) {
  std::string text;
  for (size_t i = 0; i < kConversationDigestBytes; ++i) text += HexByte(digest[i]).substr(2);
  return text;
}

std::string CommandName(const unsigned char *bytes, size_t length) {
  const CommandRecordEntry *entry = KnownCommandPacket(bytes, length);
  return entry ? entry->name : "a packet of no known record";
}

}  // namespace

ReplayEngine::ReplayEngine(const Recording &recording) : header_(recording.header) {
  using Kind = ConversationEvent::Kind;
  bool answering = false;  // reads after the last request are its replies until it gives up
  for (const RecordedEvent &recorded : recording.events) {
    const ConversationEvent &event = recorded.event;
    lastLine_ = recorded.line;
    switch (event.kind) {
      case Kind::Write:
        requests_.push_back({recorded.line, false, event.bytes, 0, {}, {}});
        answering = true;
        break;
      case Kind::Firmware:
        // Events of firmware in a row (split by a close, say) are taken one after the other
        // from one stream, however the stand-in's reads divide it.
        requests_.push_back({recorded.line, true, {}, event.firmwareBytes, event.digest, {}});
        answering = false;
        break;
      case Kind::Read:
        if (answering) {
          requests_.back().replies.push_back(
              {event.bytes, std::min(event.milliseconds, kMaxReplyDelayMs)});
        }
        break;
      case Kind::TimedOut:
        // The program gave up waiting: whatever came later was read for a later request.
        if (event.call == ConversationCall::Read) answering = false;
        break;
      case Kind::Open:
      case Kind::Failed:
      case Kind::Cancel:
      case Kind::Close:
        break;
    }
  }
}

ReplayEngine::~ReplayEngine() = default;

// Where the recording stands: the line of the request expected next, or its end.
std::string ReplayEngine::Where() const {
  if (next_ < requests_.size()) return "line " + std::to_string(requests_[next_].line);
  return "after line " + std::to_string(lastLine_) + ", the recording's last";
}

TransferKind ReplayEngine::Take(const unsigned char *data, size_t length,
                                std::vector<ReplayReply> *replies,
                                std::vector<std::string> *reports) {
  const unsigned char *record = nullptr;
  int recordLength = 0;
  if (!SplitPacket(data, length, &record, &recordLength)) {
    TakeFirmware(data, length, reports);
    return TransferKind::kFirmware;
  }
  const std::string name = CommandName(data, length);
  auto differs = [&](const std::string &why) {
    ++mismatches_;
    reports->push_back("replay: " + Where() + ": " + why + "; not answered");
    return TransferKind::kUnknownCommand;
  };
  if (next_ >= requests_.size()) {
    return differs(name + " (" + std::to_string(length) + " bytes) came after the last request");
  }
  const Request &expected = requests_[next_];
  if (expected.firmware) {
    return differs(name + " (" + std::to_string(length) + " bytes) came where the recording has " +
                   std::to_string(expected.firmwareBytes - firmwareTaken_) + " more bytes of firmware");
  }
  if (length != expected.bytes.size() ||
      !std::equal(data, data + length, expected.bytes.begin())) {
    const size_t shorter = std::min(length, expected.bytes.size());
    size_t at = 0;
    while (at < shorter && data[at] == expected.bytes[at]) ++at;
    const std::string what =
        at < shorter ? HexByte(data[at]) + " where the recording has " + HexByte(expected.bytes[at])
                     : "the end of the shorter one";
    return differs(name + " (" + std::to_string(length) + " bytes) differs from " +
                   CommandName(expected.bytes.data(), expected.bytes.size()) + " (" +
                   std::to_string(expected.bytes.size()) + " bytes) at byte " + std::to_string(at) +
                   ": " + what);
  }
  replies->insert(replies->end(), expected.replies.begin(), expected.replies.end());
  ++next_;
  ++matched_;
  return TransferKind::kCommand;
}

void ReplayEngine::TakeFirmware(const unsigned char *data, size_t length,
                                std::vector<std::string> *reports) {
  while (length > 0) {
    if (next_ >= requests_.size() || !requests_[next_].firmware) {
      ++mismatches_;
      reports->push_back("replay: " + Where() + ": firmware (" + std::to_string(length) +
                         " bytes) came where the recording has " +
                         (next_ >= requests_.size() ? std::string("nothing more")
                                                    : "a command") +
                         "; not taken as recorded");
      return;
    }
    const Request &expected = requests_[next_];
    const uint64_t left = expected.firmwareBytes - firmwareTaken_;
    const size_t taken = left < length ? static_cast<size_t>(left) : length;
    if (!firmwareHash_) firmwareHash_.reset(new Sha256);
    firmwareHash_->Update(data, taken);
    firmwareTaken_ += taken;
    data += taken;
    length -= taken;
    if (firmwareTaken_ < expected.firmwareBytes) return;
    unsigned char digest[kSha256Bytes] = {};
    const bool hashed = firmwareHash_->Finish(digest);
    firmwareHash_.reset();
    firmwareTaken_ = 0;
    if (hashed && std::equal(digest, digest + kSha256Bytes, expected.digest.begin())) {
      ++matched_;
    } else {
      ++mismatches_;
      reports->push_back("replay: line " + std::to_string(expected.line) + ": the " +
                         std::to_string(expected.firmwareBytes) +
                         " bytes of firmware differ from the recording's: SHA-256 " +
                         (hashed ? HexDigest(digest) : std::string("not computed")) + ", not " +
                         HexDigest(expected.digest.data()));
    }
    ++next_;
  }
}

std::string ReplayEngine::Summary() const {
  std::string text = "replay: " + std::to_string(matched_) + " of " +
                     std::to_string(requests_.size()) + " requests as recorded, " +
                     std::to_string(mismatches_) + " differed";
  if (next_ < requests_.size()) {
    text += "; " + std::string(firmwareTaken_ > 0 ? "in the middle of " : "never made: ") +
            Where() + (requests_[next_].firmware ? " (firmware)" : "");
  }
  return text;
}

bool LoadReplay(const std::string &path, Recording *recording, std::string *error) {
  std::string why;
  if (ReadRecordingFile(path, recording, &why)) return true;
  *error = "the recording " + path + " is refused: " + why;
  return false;
}
