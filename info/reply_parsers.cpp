// The reply parsers of the information query and its query sets.
#include "info/reply_parsers.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "app/tables.h"
#include "device/bounded_format.h"
#include "device/discovery.h"
#include "device/packets.h"
#include "device/transaction.h"
#include "info/information_query.h"
#include "info/model_identification.h"
#include "info/reply_checks.h"
#include "os/text.h"

namespace {

constexpr int kPrintNameSlot = 7;
constexpr int kKernelVersionSlot = 6;
constexpr int kVersionTextSlot = 5;
constexpr size_t kPrintNameMaxBytes = 245;

// Formats into a scratch buffer of wsprintfW's full size, then copies what fits the field:
// no value can run past its field, whatever the printer sent.
template <int N>
bool FormatIntoField(wchar_t (&field)[N], const wchar_t *format, ...) {
  wchar_t formatted[kFormattedTextUnits];
  va_list arguments;
  va_start(arguments, format);
  const int length = FormatTextV(formatted, format, arguments);
  va_end(arguments);
  if (length < 0 || length >= N) return false;
  CopyBounded(field, N, formatted);
  return true;
}

template <int N>
void WidenIntoField(wchar_t (&field)[N], const unsigned char *bytes, size_t count) {
  size_t i = 0;
  for (; i < count && i < N - 1; ++i) field[i] = bytes[i];
  field[i] = 0;
}

template <size_t N>
void Load(int slot, int readData, int lengthOffset, int lengthWidth,
          const std::array<unsigned char, N> &record) {
  PrepareCommandSlot(slot, readData, lengthOffset, lengthWidth, record.data(), static_cast<int>(N));
}

}  // namespace

void LoadQuerySet(int family) {
  ClearCommandSlots();
  if (family == 1) {
    Load(0, 0, 0, 0, CMD_F1_FF11);
    Load(1, 0, 0, 0, CMD_F1_0001);
    Load(2, 1, 6, 1, CMD_FF05);
    Load(3, 1, 6, 1, CMD_F1_FF07);
    Load(4, 0, 0, 0, CMD_F1_FF85);
    Load(5, 1, 6, 2, CMD_F1_0008);
    return;
  }
  Load(0, 1, 6, 2, CMD_SSI_PRODUCT_MODEL);
  Load(1, 1, 6, 2, CMD_SSI_FW_VERSION);
  Load(2, 1, 7, 1, CMD_FF05);
  Load(3, 1, 6, 2, CMD_SSI_MAC_ADDRESS);
  Load(4, 1, 6, 2, CMD_SSI_MEMORY_SIZE);
  Load(5, 1, 6, 4, CMD_READ_ETC_VERSION);
  Load(6, 1, 6, 2, CMD_SSI_KERNEL_VERSION);
  Load(7, 1, 6, 2, CMD_SSI_PRINT_NAME);
}

int ParseModelReply(unsigned char *reply, int length) {
  if (protocolFamily == 1) {
    if (length != 16) return 1;
    return FormatIntoField(modelCode, InternalString(111), reply[6], reply[7], reply[8], reply[9])
               ? 0
               : 1;
  }
  if (protocolFamily != 2) return 0;
  if (length < 0 || !IsModelNumberReply(reply, length)) return 1;
  if (!FormatIntoField(modelCode, InternalString(112), DecimalValue(reply, length))) return 1;
  if (currentDisplayName[0] != L'U') return 0;

  // A model the table does not know: the printer is asked for its own name.
  unsigned int nameLength = 0;
  if (RunTransaction(kPrintNameSlot, &nameLength, 0)) return 1;
  size_t nameBytes = 0;
  while (nameBytes < kPrintNameMaxBytes && nameBytes < kReplyBlockBytes && replyBuffer[nameBytes]) {
    ++nameBytes;
  }
  // Control bytes (CR, LF, tab) in the name would add lines to the information text, which the
  // report actions then refuse: they are shown as spaces.
  for (size_t i = 0; i < nameBytes; ++i) {
    if (replyBuffer[i] < 0x20) replyBuffer[i] = ' ';
  }
  // Room for " (", the eight characters of the device id, ")" and the terminator.
  const int idLength = static_cast<int>(wcsnlen(currentDeviceId, kDeviceIdUnits));
  const size_t room = kDisplayNameUnits - 1 - (3 + idLength);
  if (nameBytes > room) nameBytes = room;
  wchar_t name[kDisplayNameUnits];
  WidenIntoField(name, replyBuffer, nameBytes);
  FormatBounded(currentDisplayName, kDisplayNameUnits, L"%s (%s)", name, currentDeviceId);
  return 0;
}

int ParseFirmwareVersionReply(unsigned char *reply, int length) {
  if (protocolFamily == 1) {
    if (length != 16 || !AreVersionBytes(reply + 6)) return 1;
    WidenIntoField(firmwareVersion, reply + 6, 7);
    return 0;
  }
  if (protocolFamily != 2) return 0;
  if (length <= 6 || !AreVersionBytes(reply)) return 1;
  if (reply[1] == '.') {
    WidenIntoField(firmwareVersion, reply, 7);
  } else {
    unsigned char version[7];
    std::memcpy(version, reply, 7);
    unsigned int kernelLength = 0;
    if (RunTransaction(kKernelVersionSlot, &kernelLength, 0) || kernelLength <= 6) return 1;
    if (!AreVersionBytes(replyBuffer) || replyBuffer[1] != '.') return 1;
    unsigned char both[15];
    std::memcpy(both, replyBuffer, 7);
    both[7] = ' ';
    std::memcpy(both + 8, version, 7);
    WidenIntoField(firmwareVersion, both, 15);
  }
  // Some firmware generations report a product date where others keep /etc/version.
  const wchar_t *marks = InternalString(72);
  if (firmwareVersion[0] == marks[1] || firmwareVersion[0] == marks[2] ||
      firmwareVersion[2] == marks[3]) {
    Load(kVersionTextSlot, 1, 6, 2, CMD_SSI_PRODUCT_DATE);
  }
  return 0;
}

int ParseProductCodeReply(unsigned char *reply, int length) {
  if (length < 0 || !IsProductCodeReply(reply, length)) return 1;
  WidenIntoField(productCode, reply, 10);
  return 0;
}

int ParseMacAddressReply(unsigned char *reply, int length) {
  if (length < 0) return 0;
  const size_t textLength = MacAddressLength(protocolFamily, reply, length);
  if (textLength) WidenIntoField(macAddress, reply, textLength);
  return 0;
}

int ParseMemorySizeReply(unsigned char *reply, int length) {
  unsigned int value = 0;
  if (protocolFamily == 1) {
    if (length != 16) return 1;
    value = reply[6] | (reply[7] << 8);
  } else {
    if (length < 0 || !IsMemoryNumberReply(reply, length)) return 1;
    value = static_cast<unsigned int>(DecimalValue(reply, length));
  }
  // A size that does not fit the field's four characters is no plausible size: the step fails
  // rather than showing (and hashing) a cut number.
  return FormatIntoField(memorySize, InternalString(113), value) ? 0 : 1;
}

int ParseVersionTextReply(unsigned char *reply, int length) {
  if (length <= 0) return 0;
  static unsigned char copy[kReplyBlockBytes];
  const size_t copied = NormaliseVersionText(protocolFamily == 2 ? 2 : 1, reply, length, copy);
  wchar_t decoded[kReplyBlockBytes + 1] = {};
  const int units =
      copied ? DecodeUtf8(copy, static_cast<int>(copied), decoded, kReplyBlockBytes) : 0;
  // Cut to the field, never between the two halves of a surrogate pair.
  int keep = units < 127 ? units : 127;
  if (keep == 127 && decoded[126] >= 0xD800 && decoded[126] <= 0xDBFF) keep = 126;
  decoded[keep] = 0;
  CopyBounded(versionText, 128, decoded);
  return 0;
}
