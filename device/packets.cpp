// Command packets, the command-record table and reply-header matching.
#include "device/packets.h"

#include <cstring>

const unsigned char kPacketPrefix[kPacketPrefixBytes] = {
    0x1B, '%', '-', '1', '2', '3', '4', '5', 'X', '@', 'P', 'J', 'L', ' ', 'E', 'N', 'T', 'E',
    'R',  ' ', 'L', 'A', 'N', 'G', 'U', 'A', 'G', 'E', '=', 'A', 'C', 'L', '\r', '\n', 0x00, 0xAC};
const unsigned char kUniversalExit[kUniversalExitBytes] = {0x1B, '%', '-', '1', '2',
                                                           '3',  '4', '5', 'X'};

namespace {

// A record without payload: class, code and the two parameter bytes as they stand on the wire
// (the family-1 language records carry their argument in the high byte).
constexpr std::array<unsigned char, kRecordHeaderBytes> Plain(unsigned char classByte,
                                                              unsigned char code,
                                                              unsigned char parameterHigh,
                                                              unsigned char parameterLow) {
  std::array<unsigned char, kRecordHeaderBytes> record{};
  record[0] = classByte;
  record[1] = code;
  record[2] = parameterHigh;
  record[3] = parameterLow;
  return record;
}

// A record that carries ASCII text (an SSI directive, an assignment or a path): the parameter
// is the text's length, and the text follows without terminator.
template <size_t N>
constexpr std::array<unsigned char, kRecordHeaderBytes + N - 1> WithText(unsigned char code,
                                                                         const char (&text)[N]) {
  std::array<unsigned char, kRecordHeaderBytes + N - 1> record{};
  record[0] = 0xFF;
  record[1] = code;
  record[2] = static_cast<unsigned char>((N - 1) >> 8);
  record[3] = static_cast<unsigned char>((N - 1) & 0xFF);
  for (size_t i = 0; i + 1 < N; ++i) record[kRecordHeaderBytes + i] = static_cast<unsigned char>(text[i]);
  return record;
}

constexpr unsigned char kReadValue = 0x21;   // SSI directive naming one value
constexpr unsigned char kSetValue = 0x20;    // assignment "NAME=decimal"
constexpr unsigned char kReadFile = 0x13;    // a path name

}  // namespace

const std::array<unsigned char, 14> CMD_F1_FF11 = Plain(0xFF, 0x11, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_F1_0001 = Plain(0x00, 0x01, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_FF05 = Plain(0xFF, 0x05, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_F1_FF07 = Plain(0xFF, 0x07, 0x00, 0x00);
const std::array<unsigned char, 14> CMD_F1_FF85 = Plain(0xFF, 0x85, 0x00, 0x00);
const std::array<unsigned char, 14> CMD_F1_0008 = Plain(0x00, 0x08, 0x00, 0x01);
const std::array<unsigned char, 57> CMD_SSI_PRODUCT_MODEL =
    WithText(kReadValue, "<!--#ssi IDr OID_PLATFORM_PRODUCT_MODEL -->");
const std::array<unsigned char, 54> CMD_SSI_FW_VERSION =
    WithText(kReadValue, "<!--#ssi IDr OID_PLATFORM_FW_VERSION -->");
const std::array<unsigned char, 54> CMD_SSI_MAC_ADDRESS =
    WithText(kReadValue, "<!--#ssi IDr OID_NETWORK_MAC_ADDRESS -->");
const std::array<unsigned char, 62> CMD_SSI_MEMORY_SIZE =
    WithText(kReadValue, "<!--#ssi IDr OID_MEMORY_TOTAL_SIZE_IN_MBYTES -->");
const std::array<unsigned char, 26> CMD_READ_ETC_VERSION = WithText(kReadFile, "/etc/version");
const std::array<unsigned char, 56> CMD_SSI_PRODUCT_DATE =
    WithText(kReadValue, "<!--#ssi IDr OID_PLATFORM_PRODUCT_DATE -->");
const std::array<unsigned char, 58> CMD_SSI_KERNEL_VERSION =
    WithText(kReadValue, "<!--#ssi IDr OID_PLATFORM_KERNEL_VERSION -->");
const std::array<unsigned char, 61> CMD_SSI_PRINT_NAME =
    WithText(kReadValue, "<!--#ssi IDr OID_PLATFORM_PRINT_NAME_STRING -->");
const std::array<unsigned char, 14> CMD_F1_FF1A = Plain(0xFF, 0x1A, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_F1_FF00 = Plain(0xFF, 0x00, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_F1_LANGUAGE_03 = Plain(0xFF, 0x22, 0x03, 0x00);
const std::array<unsigned char, 14> CMD_F1_LANGUAGE_01 = Plain(0xFF, 0x22, 0x01, 0x00);
const std::array<unsigned char, 14> CMD_F1_LANGUAGE_00 = Plain(0xFF, 0x22, 0x00, 0x00);
const std::array<unsigned char, 14> CMD_F1_LANGUAGE_08 = Plain(0xFF, 0x22, 0x08, 0x00);
const std::array<unsigned char, 14> CMD_F1_LANGUAGE_05 = Plain(0xFF, 0x22, 0x05, 0x00);
const std::array<unsigned char, 14> CMD_FF84_00 = Plain(0xFF, 0x84, 0x00, 0x00);
const std::array<unsigned char, 14> CMD_FF84_01 = Plain(0xFF, 0x84, 0x00, 0x01);
const std::array<unsigned char, 14> CMD_FF84_02 = Plain(0xFF, 0x84, 0x00, 0x02);
const std::array<unsigned char, 14> CMD_FF84_03 = Plain(0xFF, 0x84, 0x00, 0x03);
const std::array<unsigned char, 14> CMD_FF84_04 = Plain(0xFF, 0x84, 0x00, 0x04);
const std::array<unsigned char, 14> CMD_FF84_05 = Plain(0xFF, 0x84, 0x00, 0x05);
const std::array<unsigned char, 14> CMD_FF84_06 = Plain(0xFF, 0x84, 0x00, 0x06);
const std::array<unsigned char, 14> CMD_FF84_07 = Plain(0xFF, 0x84, 0x00, 0x07);
const std::array<unsigned char, 14> CMD_FF84_08 = Plain(0xFF, 0x84, 0x00, 0x08);
const std::array<unsigned char, 14> CMD_FF84_09 = Plain(0xFF, 0x84, 0x00, 0x09);
const std::array<unsigned char, 14> CMD_FF84_0A = Plain(0xFF, 0x84, 0x00, 0x0A);
const std::array<unsigned char, 44> CMD_SET_RESTORE_DEFAULT =
    WithText(kSetValue, "OID_PLATFORM_RESTORE_DEFAULT=1");
const std::array<unsigned char, 42> CMD_SET_LANGUAGE_9 =
    WithText(kSetValue, "OID_PLATFORM_LANGUAGE_CODE=9");
const std::array<unsigned char, 42> CMD_SET_LANGUAGE_2 =
    WithText(kSetValue, "OID_PLATFORM_LANGUAGE_CODE=2");
const std::array<unsigned char, 42> CMD_SET_LANGUAGE_1 =
    WithText(kSetValue, "OID_PLATFORM_LANGUAGE_CODE=1");
const std::array<unsigned char, 43> CMD_SET_LANGUAGE_12 =
    WithText(kSetValue, "OID_PLATFORM_LANGUAGE_CODE=12");
const std::array<unsigned char, 43> CMD_SET_LANGUAGE_10 =
    WithText(kSetValue, "OID_PLATFORM_LANGUAGE_CODE=10");

#define KORVEX_RECORD(name) #name, name.data(), static_cast<int>(name.size())

const CommandRecordEntry commandRecordTable[kCommandRecords] = {
    {KORVEX_RECORD(CMD_F1_FF11), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_0001), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF05), {6, 7}, 1},
    {KORVEX_RECORD(CMD_F1_FF07), {6, 6}, 1},
    {KORVEX_RECORD(CMD_F1_FF85), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_0008), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_PRODUCT_MODEL), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_FW_VERSION), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_MAC_ADDRESS), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_MEMORY_SIZE), {6, 6}, 2},
    {KORVEX_RECORD(CMD_READ_ETC_VERSION), {6, 6}, 4},
    {KORVEX_RECORD(CMD_SSI_PRODUCT_DATE), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_KERNEL_VERSION), {6, 6}, 2},
    {KORVEX_RECORD(CMD_SSI_PRINT_NAME), {6, 6}, 2},
    {KORVEX_RECORD(CMD_F1_FF1A), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_FF00), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_LANGUAGE_03), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_LANGUAGE_01), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_LANGUAGE_00), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_LANGUAGE_08), {0, 0}, 0},
    {KORVEX_RECORD(CMD_F1_LANGUAGE_05), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_00), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_01), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_02), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_03), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_04), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_05), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_06), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_07), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_08), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_09), {0, 0}, 0},
    {KORVEX_RECORD(CMD_FF84_0A), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_RESTORE_DEFAULT), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_LANGUAGE_9), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_LANGUAGE_2), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_LANGUAGE_1), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_LANGUAGE_12), {0, 0}, 0},
    {KORVEX_RECORD(CMD_SET_LANGUAGE_10), {0, 0}, 0},
};

#undef KORVEX_RECORD

const CommandRecordEntry *FindCommandRecord(const unsigned char *record, int recordLength) {
  for (const CommandRecordEntry &entry : commandRecordTable) {
    if (entry.recordLength == recordLength &&
        std::memcmp(entry.record, record, static_cast<size_t>(recordLength)) == 0) {
      return &entry;
    }
  }
  return nullptr;
}

int ReplyLengthOffset(const CommandRecordEntry &entry, int protocolFamily) {
  return entry.lengthOffset[protocolFamily == 1 ? 0 : 1];
}

int BuildPacket(int recordLength, const unsigned char *record, unsigned char *packet) {
  if (recordLength < kRecordHeaderBytes || recordLength > kMaxRecordBytes) return 0;
  std::memcpy(packet, kPacketPrefix, kPacketPrefixBytes);
  std::memcpy(packet + kRecordOffset, record, static_cast<size_t>(recordLength));
  std::memcpy(packet + kRecordOffset + recordLength, kUniversalExit, kUniversalExitBytes);
  return recordLength + kPacketOverheadBytes;
}

bool SplitPacket(const unsigned char *bytes, size_t length, const unsigned char **record,
                 int *recordLength) {
  if (length < static_cast<size_t>(kPacketOverheadBytes + kRecordHeaderBytes)) return false;
  if (std::memcmp(bytes, kPacketPrefix, kPacketPrefixBytes) != 0) return false;
  if (std::memcmp(bytes + length - kUniversalExitBytes, kUniversalExit, kUniversalExitBytes) != 0) {
    return false;
  }
  *record = bytes + kRecordOffset;
  *recordLength = static_cast<int>(length - kPacketOverheadBytes);
  return true;
}

const CommandRecordEntry *KnownCommandPacket(const unsigned char *bytes, size_t length) {
  const unsigned char *record = nullptr;
  int recordLength = 0;
  if (!SplitPacket(bytes, length, &record, &recordLength)) return nullptr;
  return FindCommandRecord(record, recordLength);
}

int ReplyEchoLength(int protocolFamily) { return protocolFamily == 1 ? 4 : 5; }

bool ReplyHeaderMatches(const unsigned char *block, size_t blockLength,
                        const unsigned char *packet, int protocolFamily) {
  const size_t echo = static_cast<size_t>(ReplyEchoLength(protocolFamily));
  return blockLength >= echo && std::memcmp(block, packet + kMarkerOffset, echo) == 0;
}

bool ReadReplyDataLength(const unsigned char *header, size_t headerCapacity, int lengthOffset,
                         int lengthWidth, uint32_t *length) {
  if (lengthWidth != 1 && lengthWidth != 2 && lengthWidth != 4) return false;
  if (lengthOffset < 0 ||
      static_cast<size_t>(lengthOffset) + static_cast<size_t>(lengthWidth) > headerCapacity) {
    return false;
  }
  uint32_t value = 0;
  for (int i = 0; i < lengthWidth; ++i) value = (value << 8) | header[lengthOffset + i];
  *length = value;
  return true;
}
