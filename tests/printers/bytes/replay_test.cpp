// The replay engine every stand-in answers a recording with: commands held against the recorded
// writes byte for byte, their recorded replies with their timing, firmware by its length and
// SHA-256 however it is split, and what differs reported with its line and left unanswered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/packets.h"
#include "os/sha256.h"
#include "replay.h"

namespace {

using Kind = ConversationEvent::Kind;

Transfer PacketOf(const unsigned char *record, size_t length) {
  Transfer packet(kMaxPacketBytes);
  packet.resize(static_cast<size_t>(BuildPacket(static_cast<int>(length), record, packet.data())));
  return packet;
}

template <size_t N>
Transfer PacketOf(const std::array<unsigned char, N> &record) {
  return PacketOf(record.data(), N);
}

Transfer Firmware(size_t length, unsigned char first) {
  Transfer bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(first + i * 7 + i / 251);
  return bytes;
}

// A recording built event by event, its lines numbered as a file's (the header is line 1).
struct RecordingBuilder {
  Recording recording;
  int line = 1;
  RecordingBuilder &Add(ConversationEvent event) {
    recording.events.push_back({++line, std::move(event)});
    return *this;
  }
  RecordingBuilder &Write(const Transfer &packet) {
    ConversationEvent event;
    event.kind = Kind::Write;
    event.bytes = packet;
    return Add(event);
  }
  RecordingBuilder &Read(const std::string &text, uint32_t ms) {
    ConversationEvent event;
    event.kind = Kind::Read;
    event.bytes.assign(text.begin(), text.end());
    event.milliseconds = ms;
    return Add(event);
  }
  RecordingBuilder &Firmware(const Transfer &bytes) {
    ConversationEvent event;
    event.kind = Kind::Firmware;
    event.firmwareBytes = bytes.size();
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    hash.Finish(event.digest.data());
    return Add(event);
  }
  RecordingBuilder &Other(Kind kind) {
    ConversationEvent event;
    event.kind = kind;
    event.call = ConversationCall::Read;
    return Add(event);
  }
};

struct Answer {
  TransferKind kind;
  std::vector<ReplayReply> replies;
  std::vector<std::string> reports;
};

Answer Send(ReplayEngine &engine, const Transfer &bytes) {
  Answer answer;
  answer.kind = engine.Take(bytes.data(), bytes.size(), &answer.replies, &answer.reports);
  return answer;
}

std::string Text(const Transfer &bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Replay, CommandsAsRecordedGetTheirRepliesWithTheirTimingCapped) {
  const Transfer model = PacketOf(CMD_SSI_PRODUCT_MODEL), version = PacketOf(CMD_SSI_FW_VERSION);
  RecordingBuilder recorded;
  recorded.Other(Kind::Open)
      .Write(model)
      .Read("header", 3)
      .Read("301", 4)
      .Write(version)
      .Read("slow header", 4800)
      .Read("3.01.22", 4810)
      .Other(Kind::Close);
  ReplayEngine engine(recorded.recording);
  EXPECT_EQ(engine.Requests(), 2u);

  const Answer first = Send(engine, model);
  EXPECT_EQ(first.kind, TransferKind::kCommand);
  EXPECT_TRUE(first.reports.empty());
  ASSERT_EQ(first.replies.size(), 2u);
  EXPECT_EQ(Text(first.replies[0].block), "header");
  EXPECT_EQ(first.replies[0].delayMs, 3u);
  EXPECT_EQ(first.replies[1].delayMs, 4u);
  const Answer second = Send(engine, version);
  ASSERT_EQ(second.replies.size(), 2u);
  EXPECT_EQ(Text(second.replies[1].block), "3.01.22");
  // Late stays late, but within the program's 5 s.
  EXPECT_EQ(second.replies[0].delayMs, ReplayEngine::kMaxReplyDelayMs);
  EXPECT_TRUE(engine.Clean());
  EXPECT_EQ(engine.Summary(), "replay: 2 of 2 requests as recorded, 0 differed");
}

TEST(Replay, ACommandThatDiffersIsReportedWithItsLineAndByteAndGoesUnanswered) {
  const Transfer language9 = PacketOf(CMD_SET_LANGUAGE_9);
  RecordingBuilder recorded;
  recorded.Write(language9).Read("done", 1);
  ReplayEngine engine(recorded.recording);

  // Another language: the digit of its assignment is the first byte that differs.
  const Transfer language2 = PacketOf(CMD_SET_LANGUAGE_2);
  const size_t differing = kRecordOffset + CMD_SET_LANGUAGE_2.size() - 1;
  const Answer wrong = Send(engine, language2);
  EXPECT_EQ(wrong.kind, TransferKind::kUnknownCommand);
  EXPECT_TRUE(wrong.replies.empty()) << "no answer, as to a command a printer does not know";
  ASSERT_EQ(wrong.reports.size(), 1u);
  EXPECT_EQ(wrong.reports[0], "replay: line 2: CMD_SET_LANGUAGE_2 (87 bytes) differs from "
                              "CMD_SET_LANGUAGE_9 (87 bytes) at byte " +
                                  std::to_string(differing) +
                                  ": 0x32 where the recording has 0x39; not answered");
  // A packet of no known record, shorter: the end of the shorter one.
  Transfer shorter = PacketOf(CMD_F1_FF11);
  shorter[kRecordOffset + 1] = 0x99;
  const Answer unknown = Send(engine, shorter);
  ASSERT_EQ(unknown.reports.size(), 1u);
  EXPECT_NE(unknown.reports[0].find("a packet of no known record (59 bytes) differs from"),
            std::string::npos)
      << unknown.reports[0];
  EXPECT_NE(unknown.reports[0].find("at byte 37: 0x99 where the recording has 0x20"),
            std::string::npos)
      << unknown.reports[0];

  // The recording stayed where it was: the right command still gets its answer.
  const Answer right = Send(engine, language9);
  EXPECT_EQ(right.kind, TransferKind::kCommand);
  ASSERT_EQ(right.replies.size(), 1u);
  EXPECT_FALSE(engine.Clean());
  EXPECT_EQ(engine.Matched(), 1u);
  EXPECT_EQ(engine.Mismatches(), 2u);
  // And nothing more was recorded.
  const Answer extra = Send(engine, language9);
  ASSERT_EQ(extra.reports.size(), 1u);
  EXPECT_EQ(extra.reports[0].rfind("replay: after line 3, the recording's last: ", 0), 0u)
      << extra.reports[0];
}

TEST(Replay, FirmwareIsCheckedByLengthAndDigestHoweverItIsSplit) {
  const Transfer check = PacketOf(CMD_FF05);
  const Transfer image = Firmware(10000, 3), next = Firmware(3000, 9);
  RecordingBuilder recorded;
  recorded.Write(check).Read("KV30100A01", 2).Firmware(image).Other(Kind::Close)
      .Other(Kind::Open).Firmware(next);
  {
    ReplayEngine engine(recorded.recording);
    Send(engine, check);
    // 4096-byte writes, the last of them running on into the next event's bytes.
    Transfer both = image;
    both.insert(both.end(), next.begin(), next.end());
    for (size_t at = 0; at < both.size(); at += 4096) {
      const Transfer piece(both.begin() + at, both.begin() + std::min(both.size(), at + 4096));
      const Answer answer = Send(engine, piece);
      EXPECT_EQ(answer.kind, TransferKind::kFirmware);
      EXPECT_TRUE(answer.reports.empty()) << answer.reports[0];
    }
    EXPECT_TRUE(engine.Clean()) << engine.Summary();
    EXPECT_EQ(engine.Summary(), "replay: 3 of 3 requests as recorded, 0 differed");
  }
  {
    ReplayEngine engine(recorded.recording);
    // Firmware before the check it waits for: not taken as recorded.
    const Answer early = Send(engine, Firmware(100, 3));
    ASSERT_EQ(early.reports.size(), 1u);
    EXPECT_EQ(early.reports[0], "replay: line 2: firmware (100 bytes) came where the recording "
                                "has a command; not taken as recorded");
    Send(engine, check);
    // One byte changed: found when its last byte has come, at the event's line.
    Transfer changed = image;
    changed[5000] ^= 1;
    const Answer first = Send(engine, Transfer(changed.begin(), changed.begin() + 9999));
    EXPECT_TRUE(first.reports.empty());
    EXPECT_NE(engine.Summary().find("in the middle of line 4 (firmware)"), std::string::npos)
        << engine.Summary();
    // A command in the middle of the firmware differs too.
    const Answer command = Send(engine, check);
    ASSERT_EQ(command.reports.size(), 1u);
    EXPECT_EQ(command.reports[0], "replay: line 4: CMD_FF05 (59 bytes) came where the recording "
                                  "has 1 more bytes of firmware; not answered");
    const Answer last = Send(engine, Transfer(changed.begin() + 9999, changed.end()));
    ASSERT_EQ(last.reports.size(), 1u);
    EXPECT_EQ(last.reports[0].rfind("replay: line 4: the 10000 bytes of firmware differ from the "
                                    "recording's: SHA-256 ",
                                    0),
              0u)
        << last.reports[0];
    EXPECT_EQ(engine.Summary(),
              "replay: 1 of 3 requests as recorded, 3 differed; never made: line 7 (firmware)");
  }
}

TEST(Replay, RepliesEndWhereTheProgramGaveUpWaiting) {
  const Transfer model = PacketOf(CMD_SSI_PRODUCT_MODEL), version = PacketOf(CMD_SSI_FW_VERSION);
  RecordingBuilder recorded;
  // No reply to the first question within the wait; its late reply was read after the next.
  recorded.Write(model).Other(Kind::TimedOut).Read("late", 0).Write(version).Read("late", 1)
      .Read("header", 2);
  ReplayEngine engine(recorded.recording);
  EXPECT_TRUE(Send(engine, model).replies.empty());
  const Answer second = Send(engine, version);
  ASSERT_EQ(second.replies.size(), 2u);
  EXPECT_EQ(Text(second.replies[1].block), "header");
}

}  // namespace
