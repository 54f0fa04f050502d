// The device code.
#include "info/device_code.h"

#include <cctype>
#include <cstring>

#include "tables/tables.h"

namespace {

// The salt as stored: each byte is the salt byte XOR a value that grows with its position.
constexpr unsigned char kStoredSalt[kDeviceCodeSaltBytes] = {0x2E, 0x08, 0x4C, 0xA5, 0xE3,
                                                             0xEA, 0x95, 0x93, 0xCC};

unsigned char SaltMask(int position) { return static_cast<unsigned char>(0x65 + 11 * position); }

int Append(unsigned char *input, int count, const wchar_t *field, int maximum) {
  for (int i = 0; i < maximum && field[i]; ++i) input[count++] = static_cast<unsigned char>(field[i]);
  return count;
}

}  // namespace

void BuildDeviceCodeSalt(unsigned char salt[kDeviceCodeSaltBytes]) {
  for (int i = 0; i < kDeviceCodeSaltBytes; ++i) salt[i] = kStoredSalt[i] ^ SaltMask(i);
}

int AssembleDeviceCodeInput(const InformationFields &fields, const wchar_t *deviceId,
                            unsigned char input[kDeviceCodeInputBytes]) {
  std::memset(input, 0, kDeviceCodeInputBytes);
  int count = 0;
  count = Append(input, count, fields.productCode, 10);
  count = Append(input, count, deviceId, 8);
  count = Append(input, count, fields.modelCode, 8);
  count = Append(input, count, fields.macAddress, 17);
  count = Append(input, count, fields.firmwareVersion, 15);
  count = Append(input, count, fields.memorySize, 4);
  unsigned char salt[kDeviceCodeSaltBytes];
  BuildDeviceCodeSalt(salt);
  for (int i = 0; i < kDeviceCodeSaltBytes && salt[i]; ++i) input[count++] = salt[i];
  return count;
}

int ComputeDeviceCode(InformationFields &fields, const wchar_t *deviceId) {
  const wchar_t *modelCode = fields.modelCode;
  unsigned char input[kDeviceCodeInputBytes];
  const int count = AssembleDeviceCodeInput(fields, deviceId, input);
  unsigned char digest[16];
  if (Md5Digest(input, count, digest)) return 1;

  const wchar_t *digits = InternalString(70);
  wchar_t text[42];
  int length = 0;
  for (int i = 0; i < 8 && modelCode[i]; ++i) text[length++] = modelCode[i];
  text[length++] = InternalString(72)[0];
  for (unsigned char byte : digest) {
    text[length++] = static_cast<wchar_t>(std::toupper(digits[byte >> 4]));
    text[length++] = static_cast<wchar_t>(std::toupper(digits[byte & 0x0F]));
  }
  text[length] = 0;
  std::memcpy(fields.deviceCode, text, (length + 1) * sizeof(wchar_t));
  return 0;
}
