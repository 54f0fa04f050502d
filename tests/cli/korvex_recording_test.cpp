// korvex --record on stand-in printers, and the recordings of tests/recordings replayed to korvex
// through the pty stand-in: what a recording holds is what the printer received and sent, the
// recordings kept in the repository are what korvex records today, and a replay answers korvex
// as the printer did, with nothing differing, or says where a request differs.
#include <gtest/gtest.h>
#include <nettle/sha2.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "cli_test_support.h"
#include "device/recording_format.h"
#include "tests/recordings/recorded_sessions.h"

namespace {

using cli_test::FakeMachine;
using cli_test::KorvexRun;
using cli_test::Lines;
using cli_test::Options;
using cli_test::Orbis300;
using cli_test::Show;
using recorded_sessions::Firmware;
using recorded_sessions::Session;
using recorded_sessions::Sessions;
namespace fs = std::filesystem;

Recording ReadOrFail(const std::string &path) {
  Recording recording;
  std::string error;
  EXPECT_TRUE(ReadRecordingFile(path, &recording, &error)) << path << ": " << error;
  return recording;
}

// A recording as two runs of the same session must agree on it: every line but the
// milliseconds of the reads and the version of korvex that made it.
std::vector<std::string> Conversation(Recording recording) {
  recording.header.korvexVersion.clear();
  std::vector<std::string> lines = {RecordingHeaderLine(recording.header)};
  for (RecordedEvent &recorded : recording.events) {
    recorded.event.milliseconds = 0;
    lines.push_back(RecordingEventLine(recorded.event));
  }
  return lines;
}

std::vector<std::string> Arguments(const Session &session, FakeMachine &machine) {
  std::vector<std::string> arguments = session.korvex;
  for (std::string &argument : arguments) {
    if (argument == "FILE") {
      argument = machine.WriteFile(std::string(session.name) + ".firmware",
                                   recorded_sessions::FirmwareFile(session.firmware));
    }
  }
  return arguments;
}

PrinterIdentity IdentityOf(const Session &session) {
  return session.family == 1 ? Kl1020Identity() : Orbis300();
}

void PlugAsRecorded(FakeMachine &machine, const Session &session) {
  if (session.family == 1) {
    machine.Plug(0, "4b56", "0022", "");
  } else {
    machine.Plug(0, "4b56", "015c", "ORB-300-A1");
  }
}

std::string Sha256Of(const Transfer &bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), bytes.data());
  unsigned char digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  return std::string(digest, digest + sizeof digest);
}

std::string CommittedPath(const Session &session) {
  return std::string(KORVEX_RECORDINGS_DIR) + "/" + session.name + ".jsonl";
}

// Each session recorded anew on a stand-in: the recording holds every packet the printer took,
// every block it sent, and its firmware as one event of the right length and digest; and it is
// the recording kept in tests/recordings, but for its timing. KORVEX_UPDATE_RECORDINGS=1 writes
// the new ones there instead, for a change that is meant to change what a printer is asked.
TEST(KorvexRecordings, EachSessionRecordsWhatThePrinterReceivedAndSentAsKept) {
  const bool update = std::getenv("KORVEX_UPDATE_RECORDINGS") != nullptr;
  for (const Session &session : Sessions()) {
    SCOPED_TRACE(session.name);
    FakeMachine machine(std::string("record-") + session.name);
    PlugAsRecorded(machine, session);
    PtyPrinter &printer = machine.Attach(0, Options(IdentityOf(session)));
    const std::string path = machine.DeviceRoot() + "/../" + session.name + ".jsonl";
    std::vector<std::string> arguments = {"--record", path};
    if (session.redacted) arguments.push_back("--redact");
    for (const std::string &argument : Arguments(session, machine)) arguments.push_back(argument);
    const KorvexRun run = machine.Korvex(arguments);
    ASSERT_EQ(run.exitCode, 0) << Show(run);
    const Recording recording = ReadOrFail(path);

    const RecordingHeader &header = recording.header;
    EXPECT_EQ(header.way, "usblp");
    EXPECT_EQ(header.id, "lp0");
    EXPECT_EQ(header.vendorId, "4B56");
    EXPECT_EQ(header.deviceId, session.family == 1 ? "4B560022" : "4B56015C");
    EXPECT_EQ(header.interfaceProtocol, 2);
    EXPECT_EQ(header.protocolFamily, session.family);
    EXPECT_EQ(header.redacted, session.redacted);
    if (session.family == 2) EXPECT_EQ(header.serial, "ORB-300-A1");

    std::vector<Transfer> writes, reads;
    std::vector<const ConversationEvent *> firmware;
    for (const RecordedEvent &recorded : recording.events) {
      const ConversationEvent &event = recorded.event;
      if (event.kind == ConversationEvent::Kind::Write) writes.push_back(event.bytes);
      if (event.kind == ConversationEvent::Kind::Read) reads.push_back(event.bytes);
      if (event.kind == ConversationEvent::Kind::Firmware) firmware.push_back(&event);
    }
    EXPECT_EQ(recording.events.front().event.kind, ConversationEvent::Kind::Open);
    EXPECT_EQ(recording.events.back().event.kind, ConversationEvent::Kind::Close);
    EXPECT_EQ(writes, printer.Packets()) << "every packet, byte for byte, in order";
    // One read for each piece the stand-in delivered, of its size.
    std::vector<size_t> sizes;
    for (const Transfer &read : reads) sizes.push_back(read.size());
    EXPECT_EQ(sizes, printer.PiecesDelivered());
    const Transfer received = printer.Firmware();
    if (session.firmware == Firmware::None) {
      EXPECT_TRUE(firmware.empty());
    } else {
      // The firmware writes in a row are one event: the whole of what the printer took.
      ASSERT_EQ(firmware.size(), 1u);
      EXPECT_GT(received.size(), 0u);
      EXPECT_EQ(firmware[0]->firmwareBytes, received.size());
      EXPECT_EQ(std::string(firmware[0]->digest.begin(), firmware[0]->digest.end()),
                Sha256Of(received));
    }

    if (session.redacted) {
      // Neither the printer's MAC address nor a stand-in's absence: its reply holds a stand-in.
      std::ifstream in(path);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string mac = IdentityOf(session).macAddress;
      std::string hex;
      for (unsigned char c : mac) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
      }
      EXPECT_EQ(text.find(hex), std::string::npos) << "the MAC address's bytes";
      EXPECT_NE(run.out.find(mac), std::string::npos) << "korvex itself showed the real one";
      EXPECT_NE(text.find("30323a"), std::string::npos) << "\"02:\", the stand-in's start";
    }

    if (update) {
      fs::copy_file(path, CommittedPath(session), fs::copy_options::overwrite_existing);
      continue;
    }
    ASSERT_TRUE(fs::exists(CommittedPath(session)))
        << "no " << CommittedPath(session) << "; KORVEX_UPDATE_RECORDINGS=1 makes it";
    EXPECT_EQ(Conversation(recording), Conversation(ReadOrFail(CommittedPath(session))))
        << "korvex no longer asks the printer what " << CommittedPath(session)
        << " holds; the new recording is " << path
        << " (KORVEX_UPDATE_RECORDINGS=1 keeps it, for a change that is meant)";
  }
}

// The kept recordings replayed to korvex through the pty stand-in: every request as recorded,
// nothing differing, every recorded request made, and korvex tells what it told then.
TEST(KorvexRecordings, EachKeptRecordingReplaysToKorvexWithNothingDiffering) {
  for (const Session &session : Sessions()) {
    SCOPED_TRACE(session.name);
    FakeMachine machine(std::string("replay-") + session.name);
    auto recording = std::make_shared<Recording>(ReadOrFail(CommittedPath(session)));
    const RecordingHeader &header = recording->header;
    const auto lower = [](std::string text) {
      for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    machine.Plug(0, lower(header.vendorId), lower(header.productId), header.serial);
    PtyPrinterOptions options;
    options.replay = recording;
    PtyPrinter &printer = machine.Attach(0, options);
    const KorvexRun run = machine.Korvex(Arguments(session, machine));
    EXPECT_EQ(run.exitCode, 0) << Show(run);
    EXPECT_TRUE(printer.ReplayReports().empty()) << printer.ReplayReports().front();
    EXPECT_TRUE(printer.ReplayClean()) << printer.ReplaySummary();

    if (session.korvex[0] == "info") {
      const std::vector<std::string> lines = Lines(run.out);
      ASSERT_EQ(lines.size(), 7u) << run.out;
      if (session.family == 2) {
        EXPECT_EQ(lines[0], "Orbis 300 (4B56015C)");
        EXPECT_EQ(lines[3], Orbis300().macAddress + " (MAC address)");
      } else {
        EXPECT_EQ(lines[0], "KL-1020 (4B560022)");
        // The stand-in the recording holds is what korvex reads now.
        EXPECT_EQ(lines[3].substr(0, 3), "02:") << lines[3];
        EXPECT_EQ(lines[3].size(), std::string("00:1B:4B:56:00:22 (MAC address)").size());
      }
    }
    uint64_t recordedFirmware = 0;
    for (const RecordedEvent &recorded : recording->events) {
      recordedFirmware += recorded.event.firmwareBytes;
    }
    EXPECT_EQ(printer.FirmwareBytes(), recordedFirmware);
    EXPECT_EQ(recordedFirmware > 0, session.firmware != Firmware::None);
  }
}

// A replay says where a request differs, and leaves it unanswered as a printer leaves a command
// it does not know; korvex then fails as with such a printer.
TEST(KorvexRecordings, ARequestThatDiffersIsReportedWithItsLineAndByteAndNotAnswered) {
  FakeMachine machine("replay-differs");
  machine.Plug(0, "4b56", "015c", "ORB-300-A1");
  PtyPrinterOptions options;
  options.replay = std::make_shared<Recording>(
      ReadOrFail(std::string(KORVEX_RECORDINGS_DIR) + "/maintenance_family2.jsonl"));
  std::vector<std::string> told;
  std::mutex toldMutex;
  options.onReplayReport = [&](const std::string &report) {
    std::lock_guard<std::mutex> hold(toldMutex);
    told.push_back(report);
  };
  PtyPrinter &printer = machine.Attach(0, options);
  // Command 4 where command 3 was recorded: another language's digit.
  const KorvexRun run = machine.Korvex({"maintenance", "4"});
  EXPECT_EQ(run.exitCode, 1) << Show(run);
  const std::vector<std::string> reports = printer.ReplayReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("replay: line 3: CMD_SET_LANGUAGE_2 (87 bytes) differs from "
                             "CMD_SET_LANGUAGE_9 (87 bytes) at byte 77: ",
                             0),
            0u)
      << reports[0];
  EXPECT_EQ(told, reports);
  EXPECT_EQ(printer.ReplaySummary(),
            "replay: 0 of 1 requests as recorded, 1 differed; never made: line 3");
}

// Several printers at once: a file each, FILE with the printer's id before its extension; and
// a recording that cannot be written touches no printer.
TEST(KorvexRecordings, SeveralPrintersRecordToAFileEachAndAnUnwritableFileTouchesNone) {
  FakeMachine machine("record-fleet");
  machine.Plug(0, "4b56", "015c", "ORB-300-A1");
  machine.Plug(1, "4b56", "015c", "ORB-300-B2");
  PtyPrinter &first = machine.Attach(0, Options(Orbis300()));
  PtyPrinter &second = machine.Attach(1, Options(Orbis300()));
  const std::string directory = machine.DeviceRoot() + "/../records";
  fs::create_directories(directory);
  const std::string file = machine.WriteFile(
      "fleet.kfw", recorded_sessions::FirmwareFile(Firmware::SingleImage));

  const KorvexRun refused =
      machine.Korvex({"upgrade", file, "--all", "--record", directory + "/missing/rec.jsonl"});
  EXPECT_EQ(refused.exitCode, 2) << Show(refused);
  EXPECT_NE(refused.err.find("cannot write the recording " + directory +
                             "/missing/rec.lp0.jsonl: No such file or directory; no printer "
                             "was touched"),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(first.Packets().empty());
  EXPECT_TRUE(second.Packets().empty());

  const KorvexRun run =
      machine.Korvex({"--record", directory + "/rec.jsonl", "upgrade", file, "--all"});
  ASSERT_EQ(run.exitCode, 0) << Show(run);
  EXPECT_FALSE(fs::exists(directory + "/rec.jsonl"));
  for (const auto &[id, serial, printer] :
       {std::make_tuple("lp0", "ORB-300-A1", &first), std::make_tuple("lp1", "ORB-300-B2", &second)}) {
    const Recording recording = ReadOrFail(directory + "/rec." + id + ".jsonl");
    EXPECT_EQ(recording.header.id, id);
    EXPECT_EQ(recording.header.serial, serial);
    size_t writes = 0;
    for (const RecordedEvent &recorded : recording.events) {
      writes += recorded.event.kind == ConversationEvent::Kind::Write;
    }
    EXPECT_EQ(writes, printer->Packets().size()) << id << ": its own conversation";
  }
}

}  // namespace
