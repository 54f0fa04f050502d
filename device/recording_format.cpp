// Recordings as JSON Lines: writing, reading with every value checked, and the stand-ins of
// redaction.
#include "device/recording_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "device/packets.h"
#include "os/sha256.h"

namespace {

using Json = nlohmann::ordered_json;

// A firmware event larger than this is no firmware a printer takes.
constexpr uint64_t kMaxFirmwareEventBytes = uint64_t(1) << 40;
// Any wait longer than an hour is no wait of this protocol.
constexpr uint64_t kMaxMilliseconds = 3600000;
constexpr size_t kMaxHeaderText = 512;

const char *const kModes[] = {"request_reply", "writes_only"};
const char *const kCalls[] = {"open", "write", "read", "firmware"};
// In the order of TransportFailure.
const char *const kFailures[] = {"none",      "busy",        "no_access", "gone",
                                 "timed_out", "cancelled",   "interrupted", "other"};
constexpr int kFailureCount = sizeof kFailures / sizeof kFailures[0];

std::string Hex(const unsigned char *bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string &text, std::vector<unsigned char> *bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  bytes->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<unsigned char>(high << 4 | low));
  }
  return true;
}

// A name of one of the lists above: its index, or -1.
template <size_t N>
int IndexOf(const char *const (&names)[N], const std::string &name) {
  for (size_t i = 0; i < N; ++i) {
    if (name == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// Reading one line's value: each getter says what is wrong in *error.
class Fields {
 public:
  Fields(const Json &value, std::string *error) : value_(value), error_(error) {}

  bool Text(const char *name, size_t most, std::string *out) {
    const auto found = value_.find(name);
    if (found == value_.end()) return Fail(name, "is missing");
    if (!found->is_string()) return Fail(name, "is not a text");
    *out = found->get<std::string>();
    if (out->size() > most) return Fail(name, "is too long");
    return true;
  }
  bool Number(const char *name, uint64_t most, uint64_t *out) {
    const auto found = value_.find(name);
    if (found == value_.end()) return Fail(name, "is missing");
    if (!found->is_number_unsigned()) return Fail(name, "is not a whole number");
    *out = found->get<uint64_t>();
    if (*out > most) return Fail(name, "is too large");
    return true;
  }
  bool Hex(const char *name, size_t mostBytes, std::vector<unsigned char> *out) {
    std::string text;
    if (!Text(name, mostBytes * 2, &text)) return false;
    if (!FromHex(text, out)) return Fail(name, "is not hexadecimal");
    return true;
  }
  template <size_t N>
  bool Choice(const char *name, const char *const (&names)[N], int *out) {
    std::string text;
    if (!Text(name, 32, &text)) return false;
    *out = IndexOf(names, text);
    if (*out < 0) return Fail(name, ("\"" + text + "\" is none of its values").c_str());
    return true;
  }
  bool Has(const char *name) const { return value_.find(name) != value_.end(); }
  bool IsNull(const char *name) const {
    const auto found = value_.find(name);
    return found != value_.end() && found->is_null();
  }

 private:
  bool Fail(const char *name, const char *what) {
    *error_ = std::string("\"") + name + "\" " + what;
    return false;
  }
  const Json &value_;
  std::string *error_;
};

bool IsHexId(const std::string &text, size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (HexDigit(c) < 0) return false;
  }
  return true;
}

bool ParseHeader(const Json &value, RecordingHeader *header, std::string *error) {
  Fields fields(value, error);
  std::string format;
  if (!fields.Has("format") || !fields.Text("format", 64, &format) ||
      format != kRecordingFormatName) {
    *error = "not a korvex recording (its first line has no \"format\": \"" +
             std::string(kRecordingFormatName) + "\")";
    return false;
  }
  uint64_t version = 0;
  if (!fields.Number("version", UINT32_MAX, &version)) return false;
  if (version != static_cast<uint64_t>(kRecordingFormatVersion)) {
    *error = "version " + std::to_string(version) +
             " of the recording format is unknown to this program, which reads version " +
             std::to_string(kRecordingFormatVersion);
    return false;
  }
  uint64_t family = 0, protocol = 0;
  if (!fields.Text("korvex", kMaxHeaderText, &header->korvexVersion) ||
      !fields.Text("way", kMaxHeaderText, &header->way) ||
      !fields.Text("id", kMaxHeaderText, &header->id) ||
      !fields.Text("device_id", kMaxHeaderText, &header->deviceId) ||
      !fields.Text("vendor_id", kMaxHeaderText, &header->vendorId) ||
      !fields.Text("product_id", kMaxHeaderText, &header->productId) ||
      !fields.Text("serial", kMaxHeaderText, &header->serial) ||
      !fields.Number("protocol_family", 2, &family)) {
    return false;
  }
  if (!IsHexId(header->vendorId, 4) || !IsHexId(header->productId, 4) ||
      !IsHexId(header->deviceId, 8)) {
    *error = "the vendor, product and device ids are not 4, 4 and 8 hexadecimal digits";
    return false;
  }
  header->protocolFamily = static_cast<int>(family);
  header->interfaceProtocol = -1;
  if (!fields.IsNull("interface_protocol")) {
    if (!fields.Number("interface_protocol", 255, &protocol)) return false;
    header->interfaceProtocol = static_cast<int>(protocol);
  }
  const auto redacted = value.find("redacted");
  header->redacted = redacted != value.end() && redacted->is_boolean() && redacted->get<bool>();
  return true;
}

bool ParseEvent(const Json &value, ConversationEvent *event, std::string *error) {
  Fields fields(value, error);
  std::string kind;
  if (!fields.Text("event", 32, &kind)) return false;
  uint64_t number = 0;
  int index = 0;
  using Kind = ConversationEvent::Kind;
  if (kind == "open") {
    event->kind = Kind::Open;
    if (!fields.Choice("mode", kModes, &index)) return false;
    event->mode = index == 0 ? TransportMode::RequestReply : TransportMode::WritesOnly;
  } else if (kind == "write") {
    event->kind = Kind::Write;
    if (!fields.Hex("hex", kMaxPacketBytes, &event->bytes)) return false;
    if (event->bytes.empty()) {
      *error = "a write of no bytes";
      return false;
    }
  } else if (kind == "read") {
    event->kind = Kind::Read;
    if (!fields.Hex("hex", kMaxRecordedReadBytes, &event->bytes) ||
        !fields.Number("ms", kMaxMilliseconds, &number)) {
      return false;
    }
    event->milliseconds = static_cast<uint32_t>(number);
  } else if (kind == "firmware") {
    event->kind = Kind::Firmware;
    std::vector<unsigned char> digest;
    if (!fields.Number("bytes", kMaxFirmwareEventBytes, &event->firmwareBytes) ||
        !fields.Hex("sha256", kConversationDigestBytes, &digest)) {
      return false;
    }
    if (event->firmwareBytes == 0 || digest.size() != kConversationDigestBytes) {
      *error = "firmware needs a length above 0 and a SHA-256 of 64 hexadecimal digits";
      return false;
    }
    std::copy(digest.begin(), digest.end(), event->digest.begin());
  } else if (kind == "timeout" || kind == "failure") {
    event->kind = kind == "timeout" ? Kind::TimedOut : Kind::Failed;
    if (!fields.Choice("call", kCalls, &index)) return false;
    event->call = static_cast<ConversationCall>(index);
    if (event->kind == Kind::TimedOut) {
      if (!fields.Number("ms", kMaxMilliseconds, &number)) return false;
      event->milliseconds = static_cast<uint32_t>(number);
      event->failure = TransportFailure::TimedOut;
    } else {
      if (!fields.Choice("failure", kFailures, &index)) return false;
      event->failure = static_cast<TransportFailure>(index);
    }
  } else if (kind == "cancel") {
    event->kind = Kind::Cancel;
  } else if (kind == "close") {
    event->kind = Kind::Close;
  } else {
    *error = "unknown event \"" + kind + "\"";
    return false;
  }
  return true;
}

// The stand-in's bytes: SHA-256 of a label and the text, as hexadecimal digits, as many as
// wanted (the digest of the digest for more).
std::string DerivedDigits(const std::string &label, const std::string &text, size_t count) {
  std::string digits;
  std::string input = label + text;
  while (digits.size() < count) {
    Sha256 hash;
    hash.Update(reinterpret_cast<const unsigned char *>(input.data()), input.size());
    unsigned char digest[kSha256Bytes] = {};
    hash.Finish(digest);
    digits += Hex(digest, sizeof digest);
    input = digits;
  }
  digits.resize(count);
  for (char &c : digits) c = static_cast<char>(c >= 'a' ? c - 32 : c);
  return digits;
}

char Upper(unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); }

// Where a MAC address written as text starts at bytes[at]: six pairs of hex digits, one
// separator (':' or '-') between them, not part of a longer run of such text.
bool MacAt(const std::vector<unsigned char> &bytes, size_t at) {
  constexpr size_t kMacText = 17;
  if (at + kMacText > bytes.size()) return false;
  const unsigned char separator = bytes[at + 2];
  if (separator != ':' && separator != '-') return false;
  for (size_t i = 0; i < kMacText; ++i) {
    const bool digitPlace = i % 3 != 2;
    const char c = static_cast<char>(bytes[at + i]);
    if (digitPlace ? HexDigit(c) < 0 : bytes[at + i] != separator) return false;
  }
  auto joins = [&](size_t i) {
    return HexDigit(static_cast<char>(bytes[i])) >= 0 || bytes[i] == separator;
  };
  return (at == 0 || !joins(at - 1)) && (at + kMacText == bytes.size() || !joins(at + kMacText));
}

}  // namespace

std::string RecordingHeaderLine(const RecordingHeader &header) {
  Json line;
  line["format"] = kRecordingFormatName;
  line["version"] = kRecordingFormatVersion;
  line["korvex"] = header.korvexVersion;
  line["way"] = header.way;
  line["id"] = header.id;
  line["device_id"] = header.deviceId;
  line["vendor_id"] = header.vendorId;
  line["product_id"] = header.productId;
  line["serial"] = header.serial;
  line["interface_protocol"] =
      header.interfaceProtocol < 0 ? Json(nullptr) : Json(header.interfaceProtocol);
  line["protocol_family"] = header.protocolFamily;
  line["redacted"] = header.redacted;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string RecordingEventLine(const ConversationEvent &event) {
  using Kind = ConversationEvent::Kind;
  Json line;
  switch (event.kind) {
    case Kind::Open:
      line["event"] = "open";
      line["mode"] = kModes[event.mode == TransportMode::RequestReply ? 0 : 1];
      break;
    case Kind::Write: {
      line["event"] = "write";
      // For the reader of the file; a replay goes by the bytes alone.
      if (const CommandRecordEntry *entry =
              KnownCommandPacket(event.bytes.data(), event.bytes.size())) {
        line["command"] = entry->name;
      }
      line["hex"] = Hex(event.bytes.data(), event.bytes.size());
      break;
    }
    case Kind::Read:
      line["event"] = "read";
      line["ms"] = event.milliseconds;
      line["hex"] = Hex(event.bytes.data(), event.bytes.size());
      break;
    case Kind::Firmware:
      line["event"] = "firmware";
      line["bytes"] = event.firmwareBytes;
      line["sha256"] = Hex(event.digest.data(), event.digest.size());
      break;
    case Kind::TimedOut:
      line["event"] = "timeout";
      line["call"] = kCalls[static_cast<int>(event.call)];
      line["ms"] = event.milliseconds;
      break;
    case Kind::Failed: {
      const int failure = static_cast<int>(event.failure);
      line["event"] = "failure";
      line["call"] = kCalls[static_cast<int>(event.call)];
      line["failure"] = failure >= 0 && failure < kFailureCount ? kFailures[failure] : "other";
      break;
    }
    case Kind::Cancel:
      line["event"] = "cancel";
      break;
    case Kind::Close:
      line["event"] = "close";
      break;
  }
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ParseRecording(const char *text, size_t length, Recording *recording, std::string *error) {
  *recording = Recording();
  if (length > kMaxRecordingFileBytes) {
    *error = "larger than a recording can be (" + std::to_string(kMaxRecordingFileBytes) +
             " bytes)";
    return false;
  }
  size_t at = 0;
  int line = 0;
  while (at < length) {
    ++line;
    const char *start = text + at;
    const void *found = std::memchr(start, '\n', length - at);
    const size_t end = found ? static_cast<size_t>(static_cast<const char *>(found) - text) : length;
    size_t size = end - at;
    at = end + 1;
    // A file edited on Windows ends its lines with CR LF.
    if (size > 0 && start[size - 1] == '\r') --size;
    std::string why;
    if (size > kMaxRecordingLineBytes) {
      why = "longer than " + std::to_string(kMaxRecordingLineBytes) + " characters";
    } else if (size == 0) {
      why = "empty";
    } else {
      const Json value = Json::parse(start, start + size, nullptr, false);
      if (value.is_discarded() || !value.is_object()) {
        why = "not a JSON object";
      } else if (line == 1) {
        ParseHeader(value, &recording->header, &why);
      } else {
        RecordedEvent event{line, ConversationEvent()};
        if (ParseEvent(value, &event.event, &why)) recording->events.push_back(std::move(event));
      }
    }
    if (!why.empty()) {
      *error = "line " + std::to_string(line) + ": " + why;
      *recording = Recording();
      return false;
    }
  }
  if (line == 0) {
    *error = "empty: not a korvex recording";
    return false;
  }
  return true;
}

bool ReadRecordingFile(const std::string &path, Recording *recording, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot be read";
    return false;
  }
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxRecordingFileBytes) {
      *error = "larger than a recording can be (" + std::to_string(kMaxRecordingFileBytes) +
               " bytes)";
      return false;
    }
  }
  return ParseRecording(text.data(), text.size(), recording, error);
}

std::string SerialStandIn(const std::string &serial) {
  return DerivedDigits("korvex serial number:", serial, serial.size());
}

void RedactBytes(std::vector<unsigned char> *bytes, const std::string &serial) {
  std::vector<unsigned char> &b = *bytes;
  for (size_t at = 0; at + 17 <= b.size(); ++at) {
    if (!MacAt(b, at)) continue;
    std::string mac;
    for (size_t i = 0; i < 17; ++i) mac.push_back(i % 3 == 2 ? ':' : Upper(b[at + i]));
    // A locally administered address, which no maker's printer has.
    const std::string digits = DerivedDigits("korvex MAC address:", mac, 10);
    const std::string standIn = "02" + digits;
    const bool lower = std::any_of(b.begin() + static_cast<std::ptrdiff_t>(at),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + 17),
                                   [](unsigned char c) { return c >= 'a' && c <= 'f'; });
    for (size_t pair = 0; pair < 6; ++pair) {
      for (size_t i = 0; i < 2; ++i) {
        char c = standIn[pair * 2 + i];
        if (lower && c >= 'A' && c <= 'F') c = static_cast<char>(c + 32);
        b[at + pair * 3 + i] = static_cast<unsigned char>(c);
      }
    }
    at += 16;
  }
  if (serial.size() < kMinRedactedSerial || serial.size() > b.size()) return;
  const std::string standIn = SerialStandIn(serial);
  for (size_t at = 0; at + serial.size() <= b.size(); ++at) {
    bool same = true;
    for (size_t i = 0; i < serial.size() && same; ++i) {
      same = Upper(b[at + i]) == Upper(static_cast<unsigned char>(serial[i]));
    }
    if (!same) continue;
    std::copy(standIn.begin(), standIn.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    at += serial.size() - 1;
  }
}
