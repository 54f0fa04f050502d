// Command packets: the PJL/ACL envelope, every command record the tool sends, and the reply
// header as far as the tool reads it. Byte level: no Windows headers, built for the host too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// ---- Packet on the wire ---------------------------------------------------------------------
// offset 0, 34 bytes   "\x1B%-12345X@PJL ENTER LANGUAGE=ACL\r\n"
// offset 34, 2 bytes   ACL marker 00 AC
// offset 36, n bytes   the command record (14 header bytes and the payload)
// offset 36 + n, 9     universal exit "\x1B%-12345X"
constexpr int kPjlLineBytes = 34;
constexpr int kPacketPrefixBytes = 36;  // the PJL line and the marker, always sent together
constexpr int kUniversalExitBytes = 9;
constexpr int kPacketOverheadBytes = kPacketPrefixBytes + kUniversalExitBytes;  // 45
constexpr int kMarkerOffset = kPjlLineBytes;  // a reply echoes the packet from here on
constexpr int kRecordOffset = kPacketPrefixBytes;

extern const unsigned char kPacketPrefix[kPacketPrefixBytes];
extern const unsigned char kUniversalExit[kUniversalExitBytes];

// ---- Command record ---------------------------------------------------------------------------
// byte 0 class (FF, or 00 for two family-1 queries), byte 1 command code, bytes 2-3 parameter
// (big-endian: an argument, or the payload length), bytes 4-13 zero, then the ASCII payload.
constexpr int kRecordHeaderBytes = 14;
// The slot table's packet areas are 128 bytes, which bounds every record the tool can send.
constexpr int kMaxPacketBytes = 128;
constexpr int kMaxRecordBytes = kMaxPacketBytes - kPacketOverheadBytes;  // 83

// Every record the tool sends, constant for the whole run. The array sizes are the record
// lengths passed to BuildPacket.
extern const std::array<unsigned char, 14> CMD_F1_FF11;
extern const std::array<unsigned char, 14> CMD_F1_0001;
extern const std::array<unsigned char, 14> CMD_FF05;
extern const std::array<unsigned char, 14> CMD_F1_FF07;
extern const std::array<unsigned char, 14> CMD_F1_FF85;
extern const std::array<unsigned char, 14> CMD_F1_0008;
extern const std::array<unsigned char, 57> CMD_SSI_PRODUCT_MODEL;
extern const std::array<unsigned char, 54> CMD_SSI_FW_VERSION;
extern const std::array<unsigned char, 54> CMD_SSI_MAC_ADDRESS;
extern const std::array<unsigned char, 62> CMD_SSI_MEMORY_SIZE;
extern const std::array<unsigned char, 26> CMD_READ_ETC_VERSION;
extern const std::array<unsigned char, 56> CMD_SSI_PRODUCT_DATE;
extern const std::array<unsigned char, 58> CMD_SSI_KERNEL_VERSION;
extern const std::array<unsigned char, 61> CMD_SSI_PRINT_NAME;
extern const std::array<unsigned char, 14> CMD_F1_FF1A;
extern const std::array<unsigned char, 14> CMD_F1_FF00;
extern const std::array<unsigned char, 14> CMD_F1_LANGUAGE_03;
extern const std::array<unsigned char, 14> CMD_F1_LANGUAGE_01;
extern const std::array<unsigned char, 14> CMD_F1_LANGUAGE_00;
extern const std::array<unsigned char, 14> CMD_F1_LANGUAGE_08;
extern const std::array<unsigned char, 14> CMD_F1_LANGUAGE_05;
// Maintenance commands 8 to 18: CMD_FF84_nn with nn = command number - 8.
constexpr int kSettingRecords = 11;
extern const std::array<unsigned char, 14> CMD_FF84_00;
extern const std::array<unsigned char, 14> CMD_FF84_01;
extern const std::array<unsigned char, 14> CMD_FF84_02;
extern const std::array<unsigned char, 14> CMD_FF84_03;
extern const std::array<unsigned char, 14> CMD_FF84_04;
extern const std::array<unsigned char, 14> CMD_FF84_05;
extern const std::array<unsigned char, 14> CMD_FF84_06;
extern const std::array<unsigned char, 14> CMD_FF84_07;
extern const std::array<unsigned char, 14> CMD_FF84_08;
extern const std::array<unsigned char, 14> CMD_FF84_09;
extern const std::array<unsigned char, 14> CMD_FF84_0A;
extern const std::array<unsigned char, 44> CMD_SET_RESTORE_DEFAULT;
extern const std::array<unsigned char, 42> CMD_SET_LANGUAGE_9;
extern const std::array<unsigned char, 42> CMD_SET_LANGUAGE_2;
extern const std::array<unsigned char, 42> CMD_SET_LANGUAGE_1;
extern const std::array<unsigned char, 43> CMD_SET_LANGUAGE_12;
extern const std::array<unsigned char, 43> CMD_SET_LANGUAGE_10;

// One row of the command-record table: the record and where its reply header announces the
// length of the data block that follows (lengthWidth 0: the reply is the header alone).
struct CommandRecordEntry {
  const char *name;
  const unsigned char *record;
  int recordLength;
  int lengthOffset[2];  // for protocol families 1 and 2; only CMD_FF05 differs (family + 5)
  int lengthWidth;      // 1, 2 or 4 bytes, most significant first
};

constexpr int kCommandRecords = 38;
extern const CommandRecordEntry commandRecordTable[kCommandRecords];

// The table row whose record equals these bytes, or nullptr.
const CommandRecordEntry *FindCommandRecord(const unsigned char *record, int recordLength);
// The data-length offset of a row for a protocol family (2 for every family but 1).
int ReplyLengthOffset(const CommandRecordEntry &entry, int protocolFamily);

// ---- Packets ------------------------------------------------------------------------------------
// Writes the packet of a record (recordLength bytes at record) and returns its length,
// recordLength + 45. packet must hold that many bytes. A length outside 14..83, which no
// record has and which would not fit a slot's packet area, writes nothing and returns 0.
int BuildPacket(int recordLength, const unsigned char *record, unsigned char *packet);

// The inverse, for the printer's side: when bytes are one whole packet (prefix, a record of at
// least 14 bytes, universal exit), points record at it and returns true.
bool SplitPacket(const unsigned char *bytes, size_t length, const unsigned char **record,
                 int *recordLength);
// The table row of the record when bytes are one whole packet of a record the tool sends, else
// nullptr: how a write is told from firmware by its bytes alone (firmware is never a whole
// packet of a known record), the same way by whoever looks at it, printer or recording.
const CommandRecordEntry *KnownCommandPacket(const unsigned char *bytes, size_t length);

// ---- Replies --------------------------------------------------------------------------------
constexpr int kReplyBlockBytes = 4096;  // the most one read takes, header or data

// How many leading reply bytes must echo the packet from its marker on: the marker and the
// command word (4) for family 1; family 2 printers also echo record byte 2 (5).
int ReplyEchoLength(int protocolFamily);
// Whether a block read from the printer is the reply header of this packet. A block shorter
// than the echo is never the header.
bool ReplyHeaderMatches(const unsigned char *block, size_t blockLength,
                        const unsigned char *packet, int protocolFamily);
// The big-endian data length at lengthOffset (width 1, 2 or 4) of a reply header held in a
// buffer of headerCapacity bytes. False when the field does not lie inside the buffer or the
// width is not one of the three.
bool ReadReplyDataLength(const unsigned char *header, size_t headerCapacity, int lengthOffset,
                         int lengthWidth, uint32_t *length);
