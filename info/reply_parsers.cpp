// The reply parsers of the information query.
#include "info/reply_parsers.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "device/bounded_format.h"
#include "device/packets.h"
#include "info/reply_checks.h"
#include "tables/tables.h"

namespace {

constexpr size_t kPrintNameMaxBytes = 245;

// Formats into a scratch buffer one unit larger than the field, then copies it when it fits: no
// value can run past its field, whatever the printer sent, and one cut short is no value.
template <int N>
bool FormatIntoField(wchar_t (&field)[N], const wchar_t *format, ...) {
  wchar_t formatted[N + 1];
  va_list arguments;
  va_start(arguments, format);
  const int length = FormatBoundedV(formatted, N + 1, format, arguments);
  va_end(arguments);
  if (length >= N) return false;
  CopyBounded(field, N, formatted);
  return true;
}

template <int N>
void WidenIntoField(wchar_t (&field)[N], const unsigned char *bytes, size_t count) {
  size_t i = 0;
  for (; i < count && i < N - 1; ++i) field[i] = bytes[i];
  field[i] = 0;
}

}  // namespace

int ParseModelReply(int family, const unsigned char *reply, int length, wchar_t (&modelCode)[kModelCodeUnits]) {
  if (family == 1) {
    if (length != 16) return 1;
    return FormatIntoField(modelCode, InternalString(111), reply[6], reply[7], reply[8], reply[9])
               ? 0
               : 1;
  }
  if (family != 2) return 0;
  if (length < 0 || !IsModelNumberReply(reply, length)) return 1;
  return FormatIntoField(modelCode, InternalString(112), DecimalValue(reply, length)) ? 0 : 1;
}

void ParsePrintNameReply(unsigned char *reply, const wchar_t *deviceId,
                         wchar_t (&displayName)[kDisplayNameUnits]) {
  size_t nameBytes = 0;
  while (nameBytes < kPrintNameMaxBytes && nameBytes < kReplyBlockBytes && reply[nameBytes]) {
    ++nameBytes;
  }
  // Control bytes (CR, LF, tab) in the name would add lines to the information text, which the
  // report actions then refuse: they are shown as spaces.
  for (size_t i = 0; i < nameBytes; ++i) {
    if (reply[i] < 0x20) reply[i] = ' ';
  }
  // Room for " (", the eight characters of the device id, ")" and the terminator.
  const int idLength = static_cast<int>(wcsnlen(deviceId, kDeviceIdUnits));
  const size_t room = kDisplayNameUnits - 1 - (3 + idLength);
  if (nameBytes > room) nameBytes = room;
  wchar_t name[kDisplayNameUnits];
  WidenIntoField(name, reply, nameBytes);
  FormatBounded(displayName, kDisplayNameUnits, L"%s (%s)", name, deviceId);
}

int ParseFirmwareVersionReply(int family, const unsigned char *reply, int length,
                              wchar_t (&version)[kFirmwareVersionUnits], bool *needsKernel) {
  *needsKernel = false;
  if (family == 1) {
    if (length != 16 || !AreVersionBytes(reply + 6)) return 1;
    WidenIntoField(version, reply + 6, 7);
    return 0;
  }
  if (family != 2) return 0;
  if (length <= 6 || !AreVersionBytes(reply)) return 1;
  if (reply[1] == '.') {
    WidenIntoField(version, reply, 7);
  } else {
    *needsKernel = true;
  }
  return 0;
}

int ParseKernelVersionReply(const unsigned char *reply, int length,
                            const unsigned char *firmwareReply, wchar_t (&version)[kFirmwareVersionUnits]) {
  if (length <= 6 || !AreVersionBytes(reply) || reply[1] != '.') return 1;
  unsigned char both[15];
  std::memcpy(both, reply, 7);
  both[7] = ' ';
  std::memcpy(both + 8, firmwareReply, 7);
  WidenIntoField(version, both, 15);
  return 0;
}

bool ReportsProductDate(const wchar_t (&version)[kFirmwareVersionUnits]) {
  const wchar_t *marks = InternalString(72);
  return version[0] == marks[1] || version[0] == marks[2] || version[2] == marks[3];
}

int ParseProductCodeReply(const unsigned char *reply, int length, wchar_t (&code)[kProductCodeUnits]) {
  if (length < 0 || !IsProductCodeReply(reply, length)) return 1;
  WidenIntoField(code, reply, 10);
  return 0;
}

int ParseMacAddressReply(int family, const unsigned char *reply, int length,
                         wchar_t (&address)[kMacAddressUnits]) {
  if (length < 0) return 0;
  const size_t textLength = MacAddressLength(family, reply, length);
  if (textLength) WidenIntoField(address, reply, textLength);
  return 0;
}

int ParseMemorySizeReply(int family, const unsigned char *reply, int length, wchar_t (&size)[kMemorySizeUnits]) {
  unsigned int value = 0;
  if (family == 1) {
    if (length != 16) return 1;
    value = reply[6] | (reply[7] << 8);
  } else {
    if (length < 0 || !IsMemoryNumberReply(reply, length)) return 1;
    value = static_cast<unsigned int>(DecimalValue(reply, length));
  }
  // A size that does not fit the field's four characters is no plausible size: the step fails
  // rather than showing (and hashing) a cut number.
  return FormatIntoField(size, InternalString(113), value) ? 0 : 1;
}

size_t ParseVersionTextReply(int family, unsigned char *reply, int length, unsigned char *out) {
  if (length <= 0) return 0;
  return NormaliseVersionText(family == 2 ? 2 : 1, reply, static_cast<size_t>(length), out);
}
