// Fuzzing the reader of recordings, which takes a file a printer owner hands over: any bytes are
// refused or read, never trusted past their bounds. A recording that is read must say the same
// when written again and read back (the writer and the reader agree on every event), and a
// stand-in must be able to make its replay engine of it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/recording_format.h"
#include "replay.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool SameEvent(const ConversationEvent &a, const ConversationEvent &b) {
  return a.kind == b.kind && a.bytes == b.bytes && a.firmwareBytes == b.firmwareBytes &&
         a.digest == b.digest && a.milliseconds == b.milliseconds &&
         (a.kind != ConversationEvent::Kind::Open || a.mode == b.mode) &&
         ((a.kind != ConversationEvent::Kind::Failed &&
           a.kind != ConversationEvent::Kind::TimedOut) ||
          (a.call == b.call && a.failure == b.failure));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Recording recording;
  std::string error;
  if (!ParseRecording(reinterpret_cast<const char *>(data), size, &recording, &error)) {
    Require(!error.empty());
    Require(recording.events.empty());
    return 0;
  }
  for (const RecordedEvent &recorded : recording.events) {
    Require(recorded.event.bytes.size() <= kMaxRecordedReadBytes);
  }

  std::string text = RecordingHeaderLine(recording.header) + "\n";
  for (const RecordedEvent &recorded : recording.events) {
    text += RecordingEventLine(recorded.event) + "\n";
  }
  Recording again;
  std::string why;
  Require(ParseRecording(text.data(), text.size(), &again, &why));
  Require(again.events.size() == recording.events.size());
  for (size_t i = 0; i < again.events.size(); ++i) {
    Require(SameEvent(again.events[i].event, recording.events[i].event));
  }
  const RecordingHeader &a = recording.header, &b = again.header;
  Require(a.korvexVersion == b.korvexVersion && a.way == b.way && a.id == b.id &&
          a.deviceId == b.deviceId && a.vendorId == b.vendorId && a.productId == b.productId &&
          a.serial == b.serial && a.interfaceProtocol == b.interfaceProtocol &&
          a.protocolFamily == b.protocolFamily && a.redacted == b.redacted);

  ReplayEngine engine(recording);
  Require(engine.Requests() <= recording.events.size());
  Require(!engine.Summary().empty());
  return 0;
}
