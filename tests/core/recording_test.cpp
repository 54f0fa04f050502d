// Recordings of a printer's conversation: what the recording transport tells of the calls it
// passes on, the file format it becomes (written, read back, and refused when damaged), and
// the stand-ins that redaction puts in place of a serial number and MAC address.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string>
#include <vector>

#include "device/packets.h"
#include "device/recording_format.h"
#include "device/recording_transport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Kind = ConversationEvent::Kind;

Bytes PacketOf(const std::array<unsigned char, 14> &record) {
  Bytes packet(kMaxPacketBytes);
  packet.resize(static_cast<size_t>(BuildPacket(14, record.data(), packet.data())));
  return packet;
}

Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

// A printer connection that takes what it is told to and reads what it is given.
class ScriptedTransport : public PrinterTransport {
 public:
  std::deque<Bytes> reads;  // an empty queue: the read times out
  uint32_t writeLimit = UINT32_MAX;  // a write takes at most this much, then fails (Gone)
  uint32_t piecesInFlight = 1;
  TransportFailure failure = TransportFailure::None;
  Bytes written;

  bool Open(TransportMode) override { return true; }
  bool Write(const unsigned char *bytes, uint32_t length, uint32_t, uint32_t *count) override {
    *count = length < writeLimit ? length : writeLimit;
    written.insert(written.end(), bytes, bytes + *count);
    failure = *count == length ? TransportFailure::None : TransportFailure::Gone;
    return *count == length;
  }
  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t, uint32_t *count) override {
    if (reads.empty()) {
      failure = TransportFailure::TimedOut;
      return false;
    }
    const Bytes block = reads.front();
    reads.pop_front();
    *count = static_cast<uint32_t>(block.size() < capacity ? block.size() : capacity);
    std::copy(block.begin(), block.begin() + *count, buffer);
    failure = TransportFailure::None;
    return true;
  }
  void Cancel() override {}
  uint32_t PiecesInFlight() const override { return piecesInFlight; }
  void Close() override {}
  TransportFailure LastFailure() const override { return failure; }
};

class EventList : public ConversationLog {
 public:
  void Record(const ConversationEvent &event) override { events.push_back(event); }
  std::vector<ConversationEvent> events;
};

std::vector<Kind> KindsOf(const std::vector<ConversationEvent> &events) {
  std::vector<Kind> kinds;
  for (const ConversationEvent &event : events) kinds.push_back(event.kind);
  return kinds;
}

std::string HexOf(const std::array<unsigned char, kConversationDigestBytes> &digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : digest) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// SHA-256 of "abc" (FIPS 180-2).
const char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(RecordingTransport, CommandsRepliesAndJoinedFirmwareInOrder) {
  auto scripted = std::make_unique<ScriptedTransport>();
  ScriptedTransport &inner = *scripted;
  inner.reads = {Text("header"), Text("data")};
  EventList log;
  RecordingTransport printer(std::move(scripted), &log);
  ASSERT_TRUE(printer.Open(TransportMode::RequestReply));
  const Bytes packet = PacketOf(CMD_FF05);
  uint32_t count = 0;
  ASSERT_TRUE(printer.Write(packet.data(), static_cast<uint32_t>(packet.size()), 3000, &count));
  unsigned char buffer[kReplyBlockBytes];
  ASSERT_TRUE(printer.Read(buffer, sizeof buffer, 5000, &count));
  ASSERT_TRUE(printer.Read(buffer, 2, 5000, &count));  // "da": no more than the capacity
  // Firmware in three writes, one of them a packet of no known record: one event, and what
  // passed through is untouched.
  Bytes unknown = PacketOf(CMD_FF05);
  unknown[kRecordOffset + 1] = 0x77;
  ASSERT_TRUE(printer.Write(reinterpret_cast<const unsigned char *>("a"), 1, 0, &count));
  ASSERT_TRUE(printer.Write(reinterpret_cast<const unsigned char *>("bc"), 2, 0, &count));
  ASSERT_TRUE(printer.Write(unknown.data(), static_cast<uint32_t>(unknown.size()), 0, &count));
  EXPECT_FALSE(printer.Read(buffer, sizeof buffer, 5000, &count));
  printer.Cancel();
  printer.Close();
  printer.Close();

  EXPECT_EQ(KindsOf(log.events),
            (std::vector<Kind>{Kind::Open, Kind::Write, Kind::Read, Kind::Read, Kind::Firmware,
                               Kind::TimedOut, Kind::Cancel, Kind::Close}));
  EXPECT_EQ(log.events[1].bytes, packet);
  EXPECT_EQ(log.events[2].bytes, Text("header"));
  EXPECT_EQ(log.events[3].bytes, Text("da"));
  EXPECT_EQ(log.events[4].firmwareBytes, 3 + unknown.size());
  EXPECT_EQ(log.events[5].call, ConversationCall::Read);
  Bytes sent = packet;
  sent.insert(sent.end(), {'a', 'b', 'c'});
  sent.insert(sent.end(), unknown.begin(), unknown.end());
  EXPECT_EQ(inner.written, sent);
}

TEST(RecordingTransport, FirmwareDigestIsOfTheBytesTheDriverTookAndFailuresFollowIt) {
  {
    auto scripted = std::make_unique<ScriptedTransport>();
    scripted->writeLimit = 3;
    EventList log;
    RecordingTransport printer(std::move(scripted), &log);
    uint32_t count = 0;
    // The first three bytes of "abcdef" reach the printer, then it is gone.
    EXPECT_FALSE(printer.Write(reinterpret_cast<const unsigned char *>("abcdef"), 6, 0, &count));
    EXPECT_EQ(count, 3u);
    printer.Close();
    ASSERT_EQ(KindsOf(log.events), (std::vector<Kind>{Kind::Firmware, Kind::Failed, Kind::Close}));
    EXPECT_EQ(log.events[0].firmwareBytes, 3u);
    EXPECT_EQ(HexOf(log.events[0].digest), kAbcDigest);
    EXPECT_EQ(log.events[1].call, ConversationCall::Firmware);
    EXPECT_EQ(log.events[1].failure, TransportFailure::Gone);
  }
}

TEST(RecordingTransport, FirmwareInPiecesIsOneEventWithTheDigestOfTheWhole) {
  auto scripted = std::make_unique<ScriptedTransport>();
  scripted->piecesInFlight = 8;
  EventList log;
  {
    RecordingTransport printer(std::move(scripted), &log);
    EXPECT_EQ(printer.PiecesInFlight(), 8u);
    int told = 0;
    auto onTaken = [](void *context, uint32_t) {
      ++*static_cast<int *>(context);
      return true;
    };
    // Pieces of 2 bytes: each hashed from its own place as it is told taken.
    ASSERT_TRUE(printer.WritePieces(reinterpret_cast<const unsigned char *>("abc"), 3, 2, 0,
                                    onTaken, &told));
    EXPECT_EQ(told, 2) << "the caller is told of every piece";
  }  // never closed: the firmware is told all the same
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].kind, Kind::Firmware);
  EXPECT_EQ(log.events[0].firmwareBytes, 3u);
  EXPECT_EQ(HexOf(log.events[0].digest), kAbcDigest);
}

// A backend that keeps pieces in flight and tells what each moved: several at once, as usblp's
// writes of its own size do, or one short and then the next, as libusb's pieces after a failed
// one.
class TellingTransport : public ScriptedTransport {
 public:
  std::vector<uint32_t> tells;
  bool WritePieces(const unsigned char *, uint32_t, uint32_t, uint32_t,
                   bool (*onTaken)(void *context, uint32_t bytes), void *context) override {
    for (uint32_t bytes : tells) onTaken(context, bytes);
    return true;
  }
};

std::string DigestOf(const std::string &bytes) {
  Sha256 hash;
  hash.Update(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
  std::array<unsigned char, kConversationDigestBytes> digest = {};
  hash.Finish(digest.data());
  return HexOf(digest);
}

TEST(RecordingTransport, FirmwareTakenAsTheBackendTellsItIsHashedFromWhereItLies) {
  struct Case {
    std::vector<uint32_t> tells;
    std::string moved;
  } cases[] = {
      {{4, 2}, "abcdef"},      // two pieces of 2 at a time, then the last
      {{2, 1, 2}, "abcef"},    // the second piece short: the third from its own start
      {{2, 2, 1}, "abcde"},    // the last piece short
  };
  for (const Case &c : cases) {
    auto scripted = std::make_unique<TellingTransport>();
    scripted->tells = c.tells;
    EventList log;
    RecordingTransport printer(std::move(scripted), &log);
    auto onTaken = [](void *, uint32_t) { return true; };
    printer.WritePieces(reinterpret_cast<const unsigned char *>("abcdef"), 6, 2, 0, onTaken,
                        nullptr);
    printer.Close();
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].firmwareBytes, c.moved.size());
    EXPECT_EQ(HexOf(log.events[0].digest), DigestOf(c.moved)) << c.moved;
  }
}

TEST(RecordingFormat, EveryEventReadsBackAsItWasWritten) {
  RecordingHeader header;
  header.korvexVersion = "2.91";
  header.way = "libusb";
  header.id = "usb:1-2";
  header.deviceId = "4B56015C";
  header.vendorId = "4B56";
  header.productId = "015C";
  header.serial = "ORB \"300\"";
  header.interfaceProtocol = 2;
  header.protocolFamily = 2;
  std::vector<ConversationEvent> events(9);
  events[0].kind = Kind::Open;
  events[0].mode = TransportMode::WritesOnly;
  events[1].kind = Kind::Write;
  events[1].bytes = PacketOf(CMD_F1_FF11);
  events[2].kind = Kind::Read;
  events[2].bytes = {0x00, 0xAC, 0xFF, 0x11};
  events[2].milliseconds = 17;
  events[3].kind = Kind::Read;  // a read of no bytes
  events[4].kind = Kind::TimedOut;
  events[4].call = ConversationCall::Read;
  events[4].milliseconds = 5003;
  events[4].failure = TransportFailure::TimedOut;
  events[5].kind = Kind::Firmware;
  events[5].firmwareBytes = 123456789012ull;
  events[5].digest.fill(0xA5);
  events[6].kind = Kind::Failed;
  events[6].call = ConversationCall::Firmware;
  events[6].failure = TransportFailure::Interrupted;
  events[7].kind = Kind::Cancel;
  events[8].kind = Kind::Close;
  std::string text = RecordingHeaderLine(header) + "\n";
  for (const ConversationEvent &event : events) text += RecordingEventLine(event) + "\n";

  Recording read;
  std::string error;
  ASSERT_TRUE(ParseRecording(text.data(), text.size(), &read, &error)) << error << "\n" << text;
  EXPECT_EQ(read.header.serial, header.serial);
  EXPECT_EQ(read.header.id, header.id);
  EXPECT_EQ(read.header.interfaceProtocol, 2);
  EXPECT_FALSE(read.header.redacted);
  ASSERT_EQ(read.events.size(), events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    const ConversationEvent &a = events[i], &b = read.events[i].event;
    EXPECT_EQ(read.events[i].line, static_cast<int>(i) + 2);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.firmwareBytes, b.firmwareBytes);
    EXPECT_EQ(a.digest, b.digest);
    EXPECT_EQ(a.milliseconds, b.milliseconds);
    if (a.kind == Kind::Open) {
      EXPECT_EQ(a.mode, b.mode);
    }
    if (a.kind == Kind::Failed || a.kind == Kind::TimedOut) {
      EXPECT_EQ(a.call, b.call);
      EXPECT_EQ(a.failure, b.failure);
    }
  }
  // For a person: the record's name beside its bytes, one line each.
  EXPECT_NE(text.find("\"command\":\"CMD_F1_FF11\""), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
}

TEST(RecordingFormat, DamagedFilesAndOtherVersionsAreRefusedWithTheLine) {
  RecordingHeader header;
  header.deviceId = "4B56015C";
  header.vendorId = "4B56";
  header.productId = "015C";
  const std::string good = RecordingHeaderLine(header) + "\n";
  const std::string version2 = [&] {
    std::string line = good;
    line.replace(line.find("\"version\":1"), 11, "\"version\":2");
    return line;
  }();
  struct Case {
    std::string text, error;
  } cases[] = {
      {"", "empty"},
      {"{\"format\":\"something else\",\"version\":1}\n", "line 1: not a korvex recording"},
      {version2, "line 1: version 2 of the recording format is unknown"},
      {good + "{\"event\":\"write\",\"hex\":\"1b2\"}\n", "line 2: \"hex\" is not hexadecimal"},
      {good + "{\"event\":\"write\",\"hex\":\"1bzz\"}\n", "line 2: \"hex\" is not hexadecimal"},
      {good + "{\"event\":\"read\",\"ms\":1,\"hex\":\"" + std::string(20000, 'a') + "\"}\n",
       "line 2: longer than 16384"},
      {good + "{\"event\":\"read\",\"ms\":1,\"hex\":\"" + std::string(8200, 'a') +
           "\"}\n",
       "line 2: \"hex\" is too long"},
      {good + "{\"event\":\"read\",\"ms\":-1,\"hex\":\"00\"}\n", "line 2: \"ms\" is not a whole"},
      {good + "{\"event\":\"read\",\"hex\":\"00\"}\n", "line 2: \"ms\" is missing"},
      {good + "{\"event\":\"firmware\",\"bytes\":10,\"sha256\":\"00\"}\n", "line 2: firmware needs"},
      {good + "{\"event\":\"reboot\"}\n", "line 2: unknown event \"reboot\""},
      {good + "{\"event\":\"open\",\"mode\":\"sideways\"}\n", "line 2: \"mode\" \"sideways\" is none"},
      {good + "\n{\"event\":\"close\"}\n", "line 2: empty"},
      {good + "{\"event\":\"close\"}\n{\"event\":\"clo", "line 3: not a JSON object"},
      {good + "[1,2]\n", "line 2: not a JSON object"},
  };
  for (const Case &c : cases) {
    Recording recording;
    std::string error;
    EXPECT_FALSE(ParseRecording(c.text.data(), c.text.size(), &recording, &error))
        << c.text.substr(0, 200);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_TRUE(recording.events.empty());
  }
  // Line ends of a file edited on Windows are no damage.
  std::string crlf = good;
  crlf.insert(crlf.size() - 1, "\r");
  crlf += "{\"event\":\"close\"}\r\n";
  Recording recording;
  std::string error;
  EXPECT_TRUE(ParseRecording(crlf.data(), crlf.size(), &recording, &error)) << error;
  EXPECT_EQ(recording.events.size(), 1u);
}

TEST(Redaction, MacAddressesAndTheSerialBecomeStableStandInsOfTheirLength) {
  const std::string serial = "ORB-300-A1";
  const std::string standIn = SerialStandIn(serial);
  EXPECT_EQ(standIn.size(), serial.size());
  EXPECT_NE(standIn, serial);
  EXPECT_EQ(SerialStandIn(serial), standIn) << "the same every time";
  EXPECT_NE(SerialStandIn("ORB-300-A2"), standIn);

  // As a printer's reply holds them: the MAC address's data block, and text around both.
  Bytes reply = Text("00:1B:4B:56:01:2C");
  reply.push_back(0);
  const Bytes original = reply;
  RedactBytes(&reply, serial);
  ASSERT_EQ(reply.size(), original.size());
  const std::string mac(reply.begin(), reply.end() - 1);
  EXPECT_EQ(mac.substr(0, 3), "02:") << mac;
  EXPECT_NE(mac, "00:1B:4B:56:01:2C");
  for (size_t i = 0; i < mac.size(); ++i) {
    EXPECT_TRUE(i % 3 == 2 ? mac[i] == ':' : std::isxdigit(static_cast<unsigned char>(mac[i])))
        << mac;
  }
  EXPECT_EQ(reply.back(), 0);
  // The same address in lower case and with '-' gets the same stand-in, written its way.
  Bytes text = Text("mac 00-1b-4b-56-01-2c, serial orb-300-a1; build 12:34:56:78:9a:bc:de");
  RedactBytes(&text, serial);
  std::string lowered = mac;
  for (char &c : lowered) c = c == ':' ? '-' : static_cast<char>(std::tolower(c));
  EXPECT_EQ(std::string(text.begin(), text.end()),
            "mac " + lowered + ", serial " + standIn +
                "; build 12:34:56:78:9a:bc:de")  // seven pairs: no MAC address
      << std::string(text.begin(), text.end());
  // A serial number too short to be told from other bytes is left in the replies.
  Bytes shortSerial = Text("A1 at A1");
  RedactBytes(&shortSerial, "A1");
  EXPECT_EQ(std::string(shortSerial.begin(), shortSerial.end()), "A1 at A1");
}

}  // namespace
