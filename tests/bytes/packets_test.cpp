// Command packets on the wire, the command-record table, and reply-header matching.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/packets.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Packet(const unsigned char *record, int length) {
  Bytes packet(kMaxPacketBytes, 0xEE);
  packet.resize(static_cast<size_t>(BuildPacket(length, record, packet.data())));
  return packet;
}

template <size_t N>
Bytes Packet(const std::array<unsigned char, N> &record) {
  return Packet(record.data(), static_cast<int>(N));
}

struct Row {
  const char *name;
  unsigned char head[4];  // class, code, parameter high, parameter low
  const char *payload;
  int length;
  int offsetFamily1, offsetFamily2, width;  // where the reply announces its data; width 0: none
};

// The protocol's record table, written out independently of the code that builds the records.
const Row kRows[] = {
    {"CMD_F1_FF11", {0xFF, 0x11, 0x00, 0x01}, "", 14, 0, 0, 0},
    {"CMD_F1_0001", {0x00, 0x01, 0x00, 0x01}, "", 14, 0, 0, 0},
    {"CMD_FF05", {0xFF, 0x05, 0x00, 0x01}, "", 14, 6, 7, 1},
    {"CMD_F1_FF07", {0xFF, 0x07, 0x00, 0x00}, "", 14, 6, 6, 1},
    {"CMD_F1_FF85", {0xFF, 0x85, 0x00, 0x00}, "", 14, 0, 0, 0},
    {"CMD_F1_0008", {0x00, 0x08, 0x00, 0x01}, "", 14, 6, 6, 2},
    {"CMD_SSI_PRODUCT_MODEL", {0xFF, 0x21, 0x00, 0x2B},
     "<!--#ssi IDr OID_PLATFORM_PRODUCT_MODEL -->", 57, 6, 6, 2},
    {"CMD_SSI_FW_VERSION", {0xFF, 0x21, 0x00, 0x28}, "<!--#ssi IDr OID_PLATFORM_FW_VERSION -->",
     54, 6, 6, 2},
    {"CMD_SSI_MAC_ADDRESS", {0xFF, 0x21, 0x00, 0x28}, "<!--#ssi IDr OID_NETWORK_MAC_ADDRESS -->",
     54, 6, 6, 2},
    {"CMD_SSI_MEMORY_SIZE", {0xFF, 0x21, 0x00, 0x30},
     "<!--#ssi IDr OID_MEMORY_TOTAL_SIZE_IN_MBYTES -->", 62, 6, 6, 2},
    {"CMD_READ_ETC_VERSION", {0xFF, 0x13, 0x00, 0x0C}, "/etc/version", 26, 6, 6, 4},
    {"CMD_SSI_PRODUCT_DATE", {0xFF, 0x21, 0x00, 0x2A},
     "<!--#ssi IDr OID_PLATFORM_PRODUCT_DATE -->", 56, 6, 6, 2},
    {"CMD_SSI_KERNEL_VERSION", {0xFF, 0x21, 0x00, 0x2C},
     "<!--#ssi IDr OID_PLATFORM_KERNEL_VERSION -->", 58, 6, 6, 2},
    {"CMD_SSI_PRINT_NAME", {0xFF, 0x21, 0x00, 0x2F},
     "<!--#ssi IDr OID_PLATFORM_PRINT_NAME_STRING -->", 61, 6, 6, 2},
    {"CMD_F1_FF1A", {0xFF, 0x1A, 0x00, 0x01}, "", 14, 0, 0, 0},
    {"CMD_F1_FF00", {0xFF, 0x00, 0x00, 0x01}, "", 14, 0, 0, 0},
    {"CMD_F1_LANGUAGE_03", {0xFF, 0x22, 0x03, 0x00}, "", 14, 0, 0, 0},
    {"CMD_F1_LANGUAGE_01", {0xFF, 0x22, 0x01, 0x00}, "", 14, 0, 0, 0},
    {"CMD_F1_LANGUAGE_00", {0xFF, 0x22, 0x00, 0x00}, "", 14, 0, 0, 0},
    {"CMD_F1_LANGUAGE_08", {0xFF, 0x22, 0x08, 0x00}, "", 14, 0, 0, 0},
    {"CMD_F1_LANGUAGE_05", {0xFF, 0x22, 0x05, 0x00}, "", 14, 0, 0, 0},
    {"CMD_FF84_00", {0xFF, 0x84, 0x00, 0x00}, "", 14, 0, 0, 0},
    {"CMD_FF84_01", {0xFF, 0x84, 0x00, 0x01}, "", 14, 0, 0, 0},
    {"CMD_FF84_02", {0xFF, 0x84, 0x00, 0x02}, "", 14, 0, 0, 0},
    {"CMD_FF84_03", {0xFF, 0x84, 0x00, 0x03}, "", 14, 0, 0, 0},
    {"CMD_FF84_04", {0xFF, 0x84, 0x00, 0x04}, "", 14, 0, 0, 0},
    {"CMD_FF84_05", {0xFF, 0x84, 0x00, 0x05}, "", 14, 0, 0, 0},
    {"CMD_FF84_06", {0xFF, 0x84, 0x00, 0x06}, "", 14, 0, 0, 0},
    {"CMD_FF84_07", {0xFF, 0x84, 0x00, 0x07}, "", 14, 0, 0, 0},
    {"CMD_FF84_08", {0xFF, 0x84, 0x00, 0x08}, "", 14, 0, 0, 0},
    {"CMD_FF84_09", {0xFF, 0x84, 0x00, 0x09}, "", 14, 0, 0, 0},
    {"CMD_FF84_0A", {0xFF, 0x84, 0x00, 0x0A}, "", 14, 0, 0, 0},
    {"CMD_SET_RESTORE_DEFAULT", {0xFF, 0x20, 0x00, 0x1E}, "OID_PLATFORM_RESTORE_DEFAULT=1", 44, 0,
     0, 0},
    {"CMD_SET_LANGUAGE_9", {0xFF, 0x20, 0x00, 0x1C}, "OID_PLATFORM_LANGUAGE_CODE=9", 42, 0, 0, 0},
    {"CMD_SET_LANGUAGE_2", {0xFF, 0x20, 0x00, 0x1C}, "OID_PLATFORM_LANGUAGE_CODE=2", 42, 0, 0, 0},
    {"CMD_SET_LANGUAGE_1", {0xFF, 0x20, 0x00, 0x1C}, "OID_PLATFORM_LANGUAGE_CODE=1", 42, 0, 0, 0},
    {"CMD_SET_LANGUAGE_12", {0xFF, 0x20, 0x00, 0x1D}, "OID_PLATFORM_LANGUAGE_CODE=12", 43, 0, 0,
     0},
    {"CMD_SET_LANGUAGE_10", {0xFF, 0x20, 0x00, 0x1D}, "OID_PLATFORM_LANGUAGE_CODE=10", 43, 0, 0,
     0},
};

TEST(CommandRecords, EveryRecordHasItsBytesLengthAndDataRead) {
  ASSERT_EQ(std::size(kRows), static_cast<size_t>(kCommandRecords));
  for (size_t i = 0; i < std::size(kRows); ++i) {
    const Row &row = kRows[i];
    const CommandRecordEntry &entry = commandRecordTable[i];
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(entry.name, row.name);
    ASSERT_EQ(entry.recordLength, row.length);
    Bytes expected(row.head, row.head + 4);
    expected.resize(kRecordHeaderBytes, 0);
    expected.insert(expected.end(), row.payload, row.payload + std::strlen(row.payload));
    EXPECT_EQ(Bytes(entry.record, entry.record + entry.recordLength), expected);
    EXPECT_EQ(entry.lengthWidth, row.width);
    if (row.width) {
      EXPECT_EQ(ReplyLengthOffset(entry, 1), row.offsetFamily1);
      EXPECT_EQ(ReplyLengthOffset(entry, 2), row.offsetFamily2);
    }
    EXPECT_EQ(FindCommandRecord(entry.record, entry.recordLength), &entry)
        << "two rows hold the same record";
  }
}

TEST(BuildPacket, WrapsTheRecordInThePjlEnvelope) {
  const std::string pjl = "\x1B%-12345X@PJL ENTER LANGUAGE=ACL\r\n";
  const Bytes exit = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};

  // A 14-byte record: 59 bytes, nothing more.
  Bytes plain = Packet(CMD_F1_FF11);
  Bytes expected(pjl.begin(), pjl.end());
  expected.insert(expected.end(), {0x00, 0xAC, 0xFF, 0x11, 0x00, 0x01});
  expected.resize(expected.size() + 10, 0);
  expected.insert(expected.end(), exit.begin(), exit.end());
  EXPECT_EQ(plain, expected);

  // The payload follows the ten zero bytes without terminator, the exit follows it directly.
  Bytes ssi = Packet(CMD_SSI_FW_VERSION);
  ASSERT_EQ(ssi.size(), 99u);
  EXPECT_EQ(std::string(ssi.begin() + 50, ssi.begin() + 90),
            "<!--#ssi IDr OID_PLATFORM_FW_VERSION -->");
  EXPECT_EQ(Bytes(ssi.begin() + 90, ssi.end()), exit);

  // The family-1 language argument stands in the parameter's high byte.
  Bytes language = Packet(CMD_F1_LANGUAGE_03);
  EXPECT_EQ(language[36 + 2], 0x03);
  EXPECT_EQ(language[36 + 3], 0x00);

  // The longest record still fits a slot's 128-byte packet area.
  EXPECT_EQ(Packet(CMD_SSI_MEMORY_SIZE).size(), 107u);
}

TEST(BuildPacket, RefusesLengthsNoRecordHasWithoutWriting) {
  unsigned char record[100] = {0xFF, 0x21};
  for (int length : {-1, 0, 13, 84, 100}) {
    Bytes packet(200, 0xEE);
    EXPECT_EQ(BuildPacket(length, record, packet.data()), 0) << length;
    EXPECT_EQ(packet, Bytes(200, 0xEE)) << length;
  }
  Bytes packet(200, 0);
  EXPECT_EQ(BuildPacket(83, record, packet.data()), 128);
}

TEST(SplitPacket, FindsTheRecordOfEveryPacketAndNothingInOtherBytes) {
  for (const CommandRecordEntry &entry : commandRecordTable) {
    Bytes packet = Packet(entry.record, entry.recordLength);
    const unsigned char *record = nullptr;
    int length = 0;
    ASSERT_TRUE(SplitPacket(packet.data(), packet.size(), &record, &length)) << entry.name;
    EXPECT_EQ(record, packet.data() + 36);
    EXPECT_EQ(length, entry.recordLength);
  }

  Bytes packet = Packet(CMD_FF05);
  struct Case {
    Bytes bytes;
    const char *what;
  };
  Bytes noExit(packet.begin(), packet.end() - 1);
  Bytes otherLanguage = packet;
  otherLanguage[29] = 'X';  // "...LANGUAGE=AXL"
  Bytes noMarker = packet;
  noMarker[35] = 0xAD;
  Bytes tooShort = Packet(CMD_FF05);
  tooShort.erase(tooShort.begin() + 40, tooShort.begin() + 50);  // a 4-byte record
  // Firmware images start with the same escape, but are no ACL packet.
  const std::string firmwareText = "\x1B%-12345X@PJL ENTER LANGUAGE=PCL\r\nfirmware\x1B%-12345X";
  const Case cases[] = {
      {noExit, "exit cut short"},
      {otherLanguage, "another printer language"},
      {noMarker, "no ACL marker"},
      {tooShort, "record shorter than its header"},
      {Bytes(firmwareText.begin(), firmwareText.end()), "firmware"},
      {Bytes(4096, 0x5A), "a block of firmware"},
  };
  for (const Case &c : cases) {
    const unsigned char *record = nullptr;
    int length = 0;
    EXPECT_FALSE(SplitPacket(c.bytes.data(), c.bytes.size(), &record, &length)) << c.what;
  }
}

TEST(ReplyHeader, MatchesTheEchoOfItsFamily) {
  struct Case {
    Bytes block;
    Bytes packet;
    int family;
    bool matches;
    const char *what;
  };
  const Bytes ff05 = Packet(CMD_FF05);
  const Bytes version = Packet(CMD_SSI_FW_VERSION);
  const Bytes query0001 = Packet(CMD_F1_0001);
  const Case cases[] = {
      {{0x00, 0xAC, 0xFF, 0x05, 0x00, 0, 0, 10}, ff05, 1, true, "family 1, echo and byte 4"},
      {{0x00, 0xAC, 0xFF, 0x05, 0x7E, 0, 0, 10}, ff05, 1, true, "family 1 ignores byte 4"},
      {{0x00, 0xAC, 0xFF, 0x05}, ff05, 1, true, "family 1, exactly the echo"},
      {{0x00, 0xAC, 0xFF, 0x05, 0x00, 0, 0, 10}, ff05, 2, true, "family 2, byte 4 zero"},
      {{0x00, 0xAC, 0xFF, 0x05, 0x01, 0, 0, 10}, ff05, 2, false, "family 2, byte 4 not zero"},
      {{0x00, 0xAC, 0xFF, 0x21, 0x01, 0, 0, 8}, version, 2, false, "family 2 near miss"},
      {{0x00, 0xAC, 0xFF, 0x21, 0x00, 0, 0, 8}, version, 2, true, "family 2 reply"},
      {{0x00, 0xAC, 0xFF, 0x05}, ff05, 2, false, "shorter than the family-2 echo"},
      {{0x00, 0xAC, 0xFF}, ff05, 1, false, "shorter than the family-1 echo"},
      {{0x01, 0xAC, 0xFF, 0x05, 0x00}, ff05, 1, false, "marker broken"},
      {{0x00, 0xAD, 0xFF, 0x05, 0x00}, ff05, 2, false, "marker broken"},
      {{0x00, 0xAC, 0x00, 0x01, 0x00}, query0001, 1, true, "class byte 00"},
      {{0x00, 0xAC, 0xFF, 0x01, 0x00}, query0001, 1, false, "another class byte"},
      {{0x00, 0xAC, 0xFF, 0x06, 0x00}, ff05, 1, false, "another command code"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ReplyHeaderMatches(c.block.data(), c.block.size(), c.packet.data(), c.family),
              c.matches)
        << c.what;
  }
}

TEST(ReplyHeader, ReadsTheBigEndianDataLength) {
  unsigned char header[16] = {0x00, 0xAC, 0xFF, 0x13, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78};
  struct Case {
    int offset, width;
    size_t capacity;
    bool valid;
    uint32_t length;
  };
  const Case cases[] = {
      {6, 1, 16, true, 0x12},
      {7, 1, 16, true, 0x34},
      {6, 2, 16, true, 0x1234},
      {6, 4, 16, true, 0x12345678},
      {12, 4, 16, true, 0},
      {13, 4, 16, false, 0},  // runs past the buffer
      {-1, 1, 16, false, 0},
      {6, 3, 16, false, 0},  // no such width
      {6, 0, 16, false, 0},
  };
  for (const Case &c : cases) {
    uint32_t length = 0xDEADBEEF;
    EXPECT_EQ(ReadReplyDataLength(header, c.capacity, c.offset, c.width, &length), c.valid)
        << c.offset << "/" << c.width;
    if (c.valid) {
      EXPECT_EQ(length, c.length) << c.offset << "/" << c.width;
    }
  }
}

}  // namespace
