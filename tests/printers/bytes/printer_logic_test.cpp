// What a simulated printer answers, read back with the tool's own reply matching, so that the
// simulator and the transaction engine agree on the layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/packets.h"
#include "printer_logic.h"

namespace {

Transfer PacketOf(const CommandRecordEntry &entry) {
  Transfer packet(kMaxPacketBytes);
  packet.resize(static_cast<size_t>(BuildPacket(entry.recordLength, entry.record, packet.data())));
  return packet;
}

const CommandRecordEntry &Entry(const char *name) {
  for (const CommandRecordEntry &entry : commandRecordTable) {
    if (std::string(entry.name) == name) return entry;
  }
  ADD_FAILURE() << "no record " << name;
  return commandRecordTable[0];
}

PrinterIdentity Identity(int family) {
  PrinterIdentity identity;
  identity.family = family;
  return identity;
}

std::vector<Transfer> Ask(PrinterState &state, const Transfer &packet,
                          TransferKind expected = TransferKind::kCommand) {
  std::vector<Transfer> replies;
  EXPECT_EQ(HandleTransfer(state, packet.data(), packet.size(), &replies), expected);
  return replies;
}

std::string Text(const Transfer &bytes) { return std::string(bytes.begin(), bytes.end()); }

// Reads a reply the way the engine does: the first block echoing the packet, then the data
// block its header announces.
struct Reading {
  bool found = false;
  size_t skipped = 0;
  uint32_t announced = 0;
  Transfer header;
  Transfer data;
};

Reading Read(const std::vector<Transfer> &replies, const CommandRecordEntry &entry,
             const Transfer &packet, int family) {
  Reading reading;
  size_t i = 0;
  for (; i < replies.size(); ++i) {
    if (ReplyHeaderMatches(replies[i].data(), replies[i].size(), packet.data(), family)) break;
  }
  if (i == replies.size()) return reading;
  reading.found = true;
  reading.skipped = i;
  reading.header = replies[i];
  if (entry.lengthWidth) {
    EXPECT_TRUE(ReadReplyDataLength(reading.header.data(), reading.header.size(),
                                    ReplyLengthOffset(entry, family), entry.lengthWidth,
                                    &reading.announced));
    if (i + 1 < replies.size()) reading.data = replies[i + 1];
  }
  return reading;
}

TEST(PrinterLogic, EveryRecordIsAnsweredInTheLayoutOfEachFamily) {
  for (int family : {1, 2}) {
    for (const CommandRecordEntry &entry : commandRecordTable) {
      SCOPED_TRACE(std::string(entry.name) + " family " + std::to_string(family));
      PrinterState state = NewPrinterState(Identity(family), PrinterFaults());
      const Transfer packet = PacketOf(entry);
      const std::vector<Transfer> replies = Ask(state, packet);
      const Reading reading = Read(replies, entry, packet, family);
      ASSERT_TRUE(reading.found);
      EXPECT_EQ(reading.skipped, 0u);
      EXPECT_EQ(reading.header.size(), 16u);
      EXPECT_EQ(reading.announced, reading.data.size());
      EXPECT_EQ(replies.size(), entry.lengthWidth && !reading.data.empty() ? 2u : 1u);
      EXPECT_LE(reading.data.size(), static_cast<size_t>(kReplyBlockBytes));
      ASSERT_EQ(state.received.size(), 1u);
      EXPECT_EQ(state.received[0], entry.name);
    }
  }
}

TEST(PrinterLogic, AnswersCarryTheIdentity) {
  PrinterIdentity identity;
  identity.modelBytes[0] = 0x12;
  identity.modelBytes[3] = 0x9A;
  identity.firmwareVersion = "2.04.1A";
  identity.productCode = "AB12345678";
  identity.macAddress = "00:11:22:33:44:55";
  identity.memoryMegabytes = 0x1234;
  identity.modelNumber = -42;
  identity.versionText = "first line\nsecond\tline";
  identity.kernelVersion = "5.1.200";
  identity.printName = "Desk printer";
  identity.productDate = "2024-01-31";

  struct Case {
    int family;
    const char *record;
    std::string data;  // expected data block, or for header-only replies the header bytes 6+
  };
  const Case cases[] = {
      {1, "CMD_F1_FF11", std::string("\x12\x4C\x10\x9A", 4)},
      {1, "CMD_F1_0001", "2.04.1A"},
      {1, "CMD_F1_FF85", std::string("\x34\x12", 2)},
      {1, "CMD_FF05", std::string("AB12345678\0", 11)},
      {1, "CMD_F1_FF07", std::string("00:11:22:33:44:55\0", 18)},
      {1, "CMD_F1_0008", "first line\nsecond\tline"},
      {2, "CMD_FF05", std::string("AB12345678\0", 11)},
      {2, "CMD_SSI_PRODUCT_MODEL", std::string("-42\0", 4)},
      {2, "CMD_SSI_FW_VERSION", std::string("2.04.1A\0", 8)},
      {2, "CMD_SSI_MAC_ADDRESS", std::string("00:11:22:33:44:55\0", 18)},
      {2, "CMD_SSI_MEMORY_SIZE", std::string("4660\0", 5)},
      {2, "CMD_READ_ETC_VERSION", "first line\nsecond\tline"},
      {2, "CMD_SSI_PRODUCT_DATE", std::string("2024-01-31\0", 11)},
      {2, "CMD_SSI_KERNEL_VERSION", std::string("5.1.200\0", 8)},
      {2, "CMD_SSI_PRINT_NAME", std::string("Desk printer\0", 13)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.record);
    identity.family = c.family;
    PrinterState state = NewPrinterState(identity, PrinterFaults());
    const CommandRecordEntry &entry = Entry(c.record);
    const Transfer packet = PacketOf(entry);
    const Reading reading = Read(Ask(state, packet), entry, packet, c.family);
    ASSERT_TRUE(reading.found);
    if (entry.lengthWidth) {
      EXPECT_EQ(Text(reading.data), c.data);
    } else {
      EXPECT_EQ(Text(reading.header).substr(6, c.data.size()), c.data);
    }
  }
}

TEST(PrinterLogic, FaultsChangeWhatTheEngineSees) {
  const CommandRecordEntry &version = Entry("CMD_SSI_FW_VERSION");
  const CommandRecordEntry &etc = Entry("CMD_READ_ETC_VERSION");
  const CommandRecordEntry &productCode = Entry("CMD_FF05");
  struct Case {
    const char *what;
    int family;
    const CommandRecordEntry &entry;
    PrinterFaults faults;
    bool found;
    size_t skipped;
    long announced;  // -1: the real length
    long delivered;  // -1: the real length
  };
  PrinterFaults stray;
  stray.strayBlocks = 5;
  PrinterFaults empty;
  empty.emptyBlock = true;
  PrinterFaults zero;
  zero.zeroLength = true;
  PrinterFaults oversize;
  oversize.oversizeLength = true;
  PrinterFaults shortData;
  shortData.shortDataBytes = 3;
  PrinterFaults wrongEcho;
  wrongEcho.wrongEcho = true;
  const Case cases[] = {
      {"stray blocks, family 2", 2, version, stray, true, 5, -1, -1},
      {"stray blocks, family 1", 1, productCode, stray, true, 5, -1, -1},
      {"empty block first", 2, version, empty, true, 1, -1, -1},
      {"zero length", 2, version, zero, true, 0, 0, 0},
      {"oversize in a 2-byte field", 2, version, oversize, true, 0, 5000, 4096},
      {"oversize in a 4-byte field", 2, etc, oversize, true, 0, 5000, 4096},
      {"oversize in a 1-byte field", 1, productCode, oversize, true, 0, 255, 255},
      {"short data", 2, version, shortData, true, 0, 11, 8},
      {"wrong echo", 2, version, wrongEcho, false, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PrinterState state = NewPrinterState(Identity(c.family), c.faults);
    const Transfer packet = PacketOf(c.entry);
    const std::vector<Transfer> replies = Ask(state, packet);
    const Reading reading = Read(replies, c.entry, packet, c.family);
    ASSERT_EQ(reading.found, c.found);
    if (!c.found) continue;
    EXPECT_EQ(reading.skipped, c.skipped);
    if (c.faults.emptyBlock) {
      EXPECT_TRUE(replies[0].empty());
    }
    PrinterState faultless = NewPrinterState(Identity(c.family), PrinterFaults());
    const Transfer plain = Read(Ask(faultless, packet), c.entry, packet, c.family).data;
    EXPECT_EQ(reading.announced, c.announced < 0 ? plain.size() : static_cast<size_t>(c.announced));
    EXPECT_EQ(reading.data.size(),
              c.delivered < 0 ? plain.size() : static_cast<size_t>(c.delivered));
  }
}

TEST(PrinterLogic, SilentAndIppPrintersAnswerNothing) {
  const Transfer packet = PacketOf(Entry("CMD_FF05"));
  PrinterFaults silent;
  silent.silent = true;
  PrinterState quiet = NewPrinterState(Identity(2), silent);
  EXPECT_TRUE(Ask(quiet, packet).empty());
  EXPECT_EQ(quiet.received.size(), 1u) << "a silent printer still takes the command";

  PrinterFaults ipp;
  ipp.reportsIpp = true;
  PrinterState ippMode = NewPrinterState(Identity(2), ipp);
  EXPECT_TRUE(Ask(ippMode, packet, TransferKind::kIgnored).empty());
  ippMode.ippMode = false;  // what the protocol switch does
  EXPECT_EQ(Ask(ippMode, packet).size(), 2u);
}

TEST(PrinterLogic, SettingsAreRememberedAndOtherBytesAreFirmware) {
  PrinterState state = NewPrinterState(Identity(2), PrinterFaults());
  Ask(state, PacketOf(Entry("CMD_SET_LANGUAGE_12")));
  Ask(state, PacketOf(Entry("CMD_FF84_0A")));
  Ask(state, PacketOf(Entry("CMD_SET_RESTORE_DEFAULT")));
  EXPECT_EQ(state.settings,
            (std::vector<std::string>{"OID_PLATFORM_LANGUAGE_CODE=12",
                                      "OID_PLATFORM_RESTORE_DEFAULT=1"}));
  EXPECT_EQ(state.received, (std::vector<std::string>{"CMD_SET_LANGUAGE_12", "CMD_FF84_0A",
                                                      "CMD_SET_RESTORE_DEFAULT"}));

  // A whole packet of a record nobody sends is a command all the same, unanswered.
  unsigned char unknownRecord[14] = {0xFF, 0x77};
  Transfer unknown(kMaxPacketBytes);
  unknown.resize(static_cast<size_t>(BuildPacket(14, unknownRecord, unknown.data())));
  EXPECT_TRUE(Ask(state, unknown, TransferKind::kUnknownCommand).empty());

  // Firmware begins with the same escape as a packet; it is counted, not answered.
  const std::string image = "\x1B%-12345X@PJL FIRMWARE\r\n" + std::string(4000, 'F');
  const Transfer chunk(image.begin(), image.end());
  EXPECT_TRUE(Ask(state, chunk, TransferKind::kFirmware).empty());
  EXPECT_TRUE(Ask(state, Transfer(4096, 0), TransferKind::kFirmware).empty());
  EXPECT_EQ(state.firmwareBytes, image.size() + 4096);
  EXPECT_EQ(DescribeTransfer(TransferKind::kFirmware, state, 4096),
            "firmware (4096 bytes), " + std::to_string(image.size() + 4096) + " in all");
}

TEST(PrinterLogic, RestartTakesFirmwareUpToItsPointAndComesBackOnTheNewVersion) {
  PrinterFaults faults;
  faults.restartAfter = 5000;
  faults.firmwareAfterRestart = "3.02.00";
  PrinterState state = NewPrinterState(Identity(2), faults);
  const Transfer chunk(4096, 0x5A);
  Ask(state, chunk, TransferKind::kFirmware);
  EXPECT_FALSE(RestartDue(state));
  EXPECT_EQ(FirmwareBeforeRestart(state, chunk.size()), 904u);
  Ask(state, chunk, TransferKind::kFirmware);
  EXPECT_EQ(state.firmwareBytes, 5000u) << "bytes past the restart point are not taken";
  EXPECT_TRUE(RestartDue(state));
  Ask(state, chunk, TransferKind::kFirmware);
  EXPECT_EQ(state.firmwareBytes, 5000u);

  Restarted(state);
  EXPECT_FALSE(RestartDue(state));
  const CommandRecordEntry &version = Entry("CMD_SSI_FW_VERSION");
  const Transfer question = PacketOf(version);
  EXPECT_EQ(Text(Read(Ask(state, question), version, question, 2).data),
            std::string("3.02.00\0", 8));
  // The count starts over: the next restart comes 5000 bytes later, not at once.
  Ask(state, chunk, TransferKind::kFirmware);
  Ask(state, chunk, TransferKind::kFirmware);
  EXPECT_EQ(state.firmwareBytes, 10000u);
  EXPECT_TRUE(RestartDue(state));

  // Without a version to come back with, it reports the one it had.
  faults.firmwareAfterRestart.clear();
  PrinterState same = NewPrinterState(Identity(2), faults);
  Restarted(same);
  EXPECT_EQ(Text(Read(Ask(same, question), version, question, 2).data),
            Identity(2).firmwareVersion + '\0');
}

}  // namespace
