// The device code: the model code, a separator and the MD5 digest of the identity fields and a
// salt, in 32 upper-case hexadecimal digits.
#pragma once

#include "device/connection.h"

constexpr int kDeviceCodeSaltBytes = 9;
constexpr int kDeviceCodeInputBytes = 256;

// The salt, built from its stored form at each use so that it never stands in the program's
// data as it is hashed.
void BuildDeviceCodeSalt(unsigned char salt[kDeviceCodeSaltBytes]);
// The bytes that are hashed: product code, device id, model code, MAC address, firmware version
// and memory size (each to its first NUL or its maximum, the low byte of each unit), then the
// salt up to a zero byte. Returns their count (at most 71).
int AssembleDeviceCodeInput(const InformationFields &fields, const wchar_t *deviceId,
                            unsigned char input[kDeviceCodeInputBytes]);
// The MD5 digest (RFC 1321) of the bytes, from the operating system's cryptography (CryptoAPI on
// Windows, nettle on Linux); 0, or 1 when a call failed.
int Md5Digest(const unsigned char *bytes, int count, unsigned char digest[16]);
// Writes fields.deviceCode; 0, or 1 when a cryptographic call failed (left as it was).
int ComputeDeviceCode(InformationFields &fields, const wchar_t *deviceId);
