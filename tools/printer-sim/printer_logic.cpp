// A simulated printer's answers to command packets.
#include "printer_logic.h"

#include <algorithm>
#include <cstring>

#include "device/packets.h"

namespace {

// A reply header is a 16-byte ACL block: marker, the echoed command word and record byte 2,
// the data length field where the record table puts it, and for the family-1 queries without
// a data block, the answer itself from byte 6 on.
constexpr size_t kReplyHeaderBytes = 16;
constexpr size_t kInlineAnswerOffset = 6;
constexpr uint32_t kOversizeLength = 5000;

template <size_t N>
bool Is(const CommandRecordEntry &entry, const std::array<unsigned char, N> &record) {
  return entry.record == record.data();
}

Transfer Text(const std::string &text, bool terminated) {
  Transfer bytes(text.begin(), text.end());
  if (terminated) bytes.push_back(0);
  return bytes;
}

// The data block a record's reply announces (empty for records answered by the header alone).
Transfer DataBlock(const CommandRecordEntry &entry, const PrinterIdentity &identity) {
  if (Is(entry, CMD_FF05)) return Text(identity.productCode, true);
  if (Is(entry, CMD_F1_FF07) || Is(entry, CMD_SSI_MAC_ADDRESS)) {
    return Text(identity.macAddress, true);
  }
  if (Is(entry, CMD_F1_0008) || Is(entry, CMD_READ_ETC_VERSION)) {
    return Text(identity.versionText, false);
  }
  if (Is(entry, CMD_SSI_PRODUCT_MODEL)) return Text(std::to_string(identity.modelNumber), true);
  if (Is(entry, CMD_SSI_FW_VERSION)) return Text(identity.firmwareVersion, true);
  if (Is(entry, CMD_SSI_MEMORY_SIZE)) return Text(std::to_string(identity.memoryMegabytes), true);
  if (Is(entry, CMD_SSI_PRODUCT_DATE)) return Text(identity.productDate, true);
  if (Is(entry, CMD_SSI_KERNEL_VERSION)) return Text(identity.kernelVersion, true);
  if (Is(entry, CMD_SSI_PRINT_NAME)) return Text(identity.printName, true);
  return {};
}

// Family-1 queries answered inside the header: model bytes, firmware version, memory size.
void PutInlineAnswer(const CommandRecordEntry &entry, const PrinterIdentity &identity,
                     Transfer &header) {
  unsigned char *answer = header.data() + kInlineAnswerOffset;
  if (Is(entry, CMD_F1_FF11)) {
    std::memcpy(answer, identity.modelBytes, sizeof identity.modelBytes);
  } else if (Is(entry, CMD_F1_0001)) {
    const size_t n = std::min<size_t>(identity.firmwareVersion.size(), 7);
    std::memcpy(answer, identity.firmwareVersion.data(), n);
  } else if (Is(entry, CMD_F1_FF85)) {
    answer[0] = static_cast<unsigned char>(identity.memoryMegabytes & 0xFF);
    answer[1] = static_cast<unsigned char>((identity.memoryMegabytes >> 8) & 0xFF);
  }
}

void PutLength(Transfer &header, int offset, int width, uint32_t length) {
  for (int i = width - 1; i >= 0; --i, length >>= 8) {
    header[static_cast<size_t>(offset + i)] = static_cast<unsigned char>(length & 0xFF);
  }
}

// Blocks a careless printer might send first; none of them echoes this record for the
// printer's own family (the family-2 near miss differs only in byte 4).
Transfer StrayBlock(int index, const unsigned char *record, int family) {
  switch (index % 3) {
    case 0: {
      const std::string tail = "\r\nEND OF EARLIER REPLY\r\n";
      return Transfer(tail.begin(), tail.end());
    }
    case 1: {
      Transfer other(kReplyHeaderBytes, 0);
      other[0] = 0x00;
      other[1] = 0xAC;
      other[2] = record[0];
      other[3] = static_cast<unsigned char>(record[1] ^ 0x80);
      return other;
    }
    default: {
      Transfer nearMiss(kReplyHeaderBytes, 0);
      nearMiss[0] = 0x00;
      nearMiss[1] = 0xAC;
      nearMiss[2] = static_cast<unsigned char>(family == 1 ? record[0] ^ 0xFF : record[0]);
      nearMiss[3] = record[1];
      nearMiss[4] = static_cast<unsigned char>(record[2] + 1);
      return nearMiss;
    }
  }
}

void Answer(PrinterState &state, const CommandRecordEntry &entry, const unsigned char *record,
            std::vector<Transfer> *replies) {
  const PrinterFaults &faults = state.faults;
  const int family = state.identity.family;
  for (int i = 0; i < faults.strayBlocks; ++i) replies->push_back(StrayBlock(i, record, family));
  if (faults.emptyBlock) replies->push_back(Transfer());

  Transfer header(kReplyHeaderBytes, 0);
  header[0] = 0x00;
  header[1] = 0xAC;
  header[2] = record[0];
  header[3] = faults.wrongEcho ? static_cast<unsigned char>(record[1] ^ 0x40) : record[1];
  header[4] = record[2];
  PutInlineAnswer(entry, state.identity, header);

  Transfer data = DataBlock(entry, state.identity);
  if (data.size() > static_cast<size_t>(kReplyBlockBytes)) data.resize(kReplyBlockBytes);
  if (entry.lengthWidth == 0) {
    replies->push_back(header);
    return;
  }
  uint32_t announced = static_cast<uint32_t>(data.size());
  if (faults.zeroLength) {
    announced = 0;
    data.clear();
  } else if (faults.oversizeLength) {
    announced = entry.lengthWidth == 1 ? 0xFF : kOversizeLength;
    data.resize(entry.lengthWidth == 1 ? 0xFF : kReplyBlockBytes, 0);
  } else {
    announced += static_cast<uint32_t>(faults.shortDataBytes);
  }
  PutLength(header, ReplyLengthOffset(entry, family), entry.lengthWidth, announced);
  replies->push_back(header);
  if (!data.empty()) replies->push_back(data);
}

}  // namespace

PrinterIdentity Kl1020Identity() {
  PrinterIdentity identity;
  identity.family = 1;
  const unsigned char model[4] = {0x4B, 0x4C, 0x10, 0x22};
  std::memcpy(identity.modelBytes, model, sizeof model);
  identity.firmwareVersion = "1.20.07";
  identity.productCode = "KL10220B01";
  identity.macAddress = "00:1B:4B:56:00:22";
  identity.memoryMegabytes = 128;
  identity.versionText = "KL-1020 boot 1.4\r\nengine 1.20.07\r\n";
  return identity;
}

PrinterState NewPrinterState(const PrinterIdentity &identity, const PrinterFaults &faults) {
  PrinterState state;
  state.identity = identity;
  state.faults = faults;
  state.ippMode = faults.reportsIpp;
  return state;
}

TransferKind HandleTransfer(PrinterState &state, const unsigned char *data, size_t length,
                            std::vector<Transfer> *replies) {
  const unsigned char *record = nullptr;
  int recordLength = 0;
  if (!SplitPacket(data, length, &record, &recordLength)) {
    // A printer that restarts takes nothing past the firmware it restarts after.
    const size_t taken = FirmwareBeforeRestart(state, length);
    state.firmwareBytes += taken;
    state.firmwareSinceStart += taken;
    return TransferKind::kFirmware;
  }
  if (state.ippMode) return TransferKind::kIgnored;
  const CommandRecordEntry *entry = FindCommandRecord(record, recordLength);
  if (!entry) return TransferKind::kUnknownCommand;

  state.received.push_back(entry->name);
  if (record[1] == CMD_SET_RESTORE_DEFAULT[1]) {
    state.settings.emplace_back(reinterpret_cast<const char *>(record) + kRecordHeaderBytes,
                                static_cast<size_t>(recordLength - kRecordHeaderBytes));
  }
  if (!state.faults.silent) Answer(state, *entry, record, replies);
  return TransferKind::kCommand;
}

size_t FirmwareBeforeRestart(const PrinterState &state, size_t length) {
  const long long after = state.faults.restartAfter;
  if (after < 0) return length;
  const unsigned long long taken = state.firmwareSinceStart;
  const unsigned long long left =
      taken < static_cast<unsigned long long>(after) ? static_cast<unsigned long long>(after) - taken : 0;
  return left < length ? static_cast<size_t>(left) : length;
}

bool RestartDue(const PrinterState &state) {
  return state.faults.restartAfter >= 0 &&
         state.firmwareSinceStart >= static_cast<unsigned long long>(state.faults.restartAfter);
}

void Restarted(PrinterState &state) {
  if (!state.faults.firmwareAfterRestart.empty()) {
    state.identity.firmwareVersion = state.faults.firmwareAfterRestart;
  }
  state.firmwareSinceStart = 0;
  state.ippMode = state.faults.reportsIpp;
}

FlashIntake::Clock::time_point FlashIntake::Due(size_t bytes, Clock::time_point arrived) {
  if (bytesPerSecond_ == 0) return arrived;
  const auto writing = std::chrono::nanoseconds(static_cast<long long>(
      static_cast<long double>(bytes) * 1e9L / static_cast<long double>(bytesPerSecond_)));
  busyUntil_ = std::max(arrived - kSavedIdle, busyUntil_) + writing;
  return busyUntil_;
}

std::string DescribeTransfer(TransferKind kind, const PrinterState &state, size_t length) {
  const std::string size = " (" + std::to_string(length) + " bytes)";
  switch (kind) {
    case TransferKind::kCommand:
      return state.received.back() + size + (state.faults.silent ? ", not answered" : "");
    case TransferKind::kUnknownCommand:
      return "unknown command packet" + size + ", not answered";
    case TransferKind::kIgnored:
      return "command packet in IPP mode" + size + ", not answered";
    case TransferKind::kFirmware:
      return "firmware" + size + ", " + std::to_string(state.firmwareBytes) + " in all";
  }
  return {};
}
