// Byte checks of the printer's replies to the information queries.
#include "info/reply_checks.h"

bool IsDigitByte(unsigned char b) { return b >= '0' && b <= '9'; }

bool IsLetterByte(unsigned char b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

bool IsHexLetterByte(unsigned char b) {
  return (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f');
}

bool IsVersionByte(unsigned char b) { return b == '.' || IsDigitByte(b) || IsLetterByte(b); }

int32_t DecimalValue(const unsigned char *reply, size_t length) {
  size_t i = 0;
  while (i < length && (reply[i] == ' ' || (reply[i] >= '\t' && reply[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < length && (reply[i] == '+' || reply[i] == '-')) negative = reply[i++] == '-';
  uint32_t value = 0;
  for (; i < length && IsDigitByte(reply[i]); ++i) value = value * 10u + (reply[i] - '0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

bool IsModelNumberReply(const unsigned char *reply, size_t length) {
  for (size_t i = 0; i + 1 < length; ++i) {
    if (!IsDigitByte(reply[i]) && reply[i] != '-') return false;
  }
  return true;
}

bool AreVersionBytes(const unsigned char *bytes) {
  for (int i = 0; i < 7; ++i) {
    if (!IsVersionByte(bytes[i])) return false;
  }
  return true;
}

bool IsProductCodeReply(const unsigned char *reply, size_t length) {
  size_t count = 0;
  while (count < length && reply[count] != 0) {
    if (!IsDigitByte(reply[count]) && !IsLetterByte(reply[count])) return false;
    ++count;
  }
  return count == 10;
}

size_t MacAddressLength(int family, const unsigned char *reply, size_t length) {
  const bool usable = family == 1 ? length == 18 : length > 16;
  if (!usable) return 0;
  for (size_t i = 0; i + 1 < length; ++i) {
    const unsigned char b = reply[i];
    if (b != ':' && !IsDigitByte(b) && !IsHexLetterByte(b)) return 0;
  }
  return length - 1 <= 17 ? length - 1 : 0;
}

bool IsMemoryNumberReply(const unsigned char *reply, size_t length) {
  for (size_t i = 0; i + 1 < length && i < 10; ++i) {
    if (!IsDigitByte(reply[i])) return false;
  }
  return true;
}

size_t NormaliseVersionText(int family, unsigned char *reply, size_t length, unsigned char *out) {
  size_t start = 0;
  if (family == 2) {
    for (size_t i = 0; i < length; ++i) {
      if (reply[i] == 0x0A) {
        start = i + 1;
        break;
      }
    }
  }
  for (size_t i = start; i < length; ++i) {
    if (reply[i] <= 0x1F) reply[i] = ' ';
  }
  size_t copied = 0;
  for (size_t i = start; i < length; ++i) {
    if (reply[i] == ' ' && copied > 0 && out[copied - 1] == ' ') continue;
    out[copied++] = reply[i];
  }
  if (copied > 0 && out[copied - 1] == ' ') --copied;
  return copied;
}
