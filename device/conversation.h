// A printer's conversation as it passes the transport seam: what was opened, written, read and
// closed, in order. The recording transport (recording_transport.h) reports it event by event;
// a recording file (recording_format.h) holds it as text; the stand-in printers replay it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "device/transport.h"

constexpr size_t kConversationDigestBytes = 32;  // SHA-256

// Which call of the transport an event tells of.
enum class ConversationCall { Open, Write, Read, Firmware };

struct ConversationEvent {
  enum class Kind {
    Open,      // mode
    Write,     // bytes: a command packet as the printer took it
    Firmware,  // firmwareBytes and digest: firmware written, one write or several in a row
    Read,      // bytes, milliseconds since the write before
    TimedOut,  // call, milliseconds (a read: since the write before; a write: its own wait)
    Failed,    // call, failure
    Cancel,    // from another thread: the call in progress ends
    Close,
  };
  Kind kind = Kind::Open;
  TransportMode mode = TransportMode::RequestReply;
  std::vector<unsigned char> bytes;
  uint64_t firmwareBytes = 0;
  std::array<unsigned char, kConversationDigestBytes> digest = {};
  uint32_t milliseconds = 0;
  ConversationCall call = ConversationCall::Write;
  TransportFailure failure = TransportFailure::None;
};

// Where a recording transport tells its events, in the order they happened (calls on several
// threads, a Cancel say, are told one after the other, never at once).
class ConversationLog {
 public:
  virtual ~ConversationLog() = default;
  virtual void Record(const ConversationEvent &event) = 0;
};
