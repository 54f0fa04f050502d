// Byte checks of the printer's replies to the information queries (no Windows headers): which
// replies are usable and what they hold. Character classes are tested on byte values.
#pragma once

#include <cstddef>
#include <cstdint>

bool IsDigitByte(unsigned char b);
bool IsLetterByte(unsigned char b);
bool IsHexLetterByte(unsigned char b);
// ".", a digit or a letter: the characters of a firmware or kernel version.
bool IsVersionByte(unsigned char b);

// The reply's decimal value: leading white space skipped, an optional sign, then digits up to
// the first other byte or the end; no digits gives 0. Wraps like a 32-bit signed number.
int32_t DecimalValue(const unsigned char *reply, size_t length);

// Family 2 model reply: every byte but the last is a digit or "-".
bool IsModelNumberReply(const unsigned char *reply, size_t length);
// Bytes 0-6 (or 6-12 for family 1) are version characters; the caller checks the length.
bool AreVersionBytes(const unsigned char *bytes);
// Product code: the bytes up to the first NUL or the end must be exactly 10 letters or digits.
bool IsProductCodeReply(const unsigned char *reply, size_t length);
// MAC text: family 1 exactly 18 bytes, family 2 more than 16; every byte but the last is ":",
// a digit or a hexadecimal letter; and the text (all bytes but the last) is at most 17
// characters, the most a MAC address is written with. Returns the text length, or 0 when the
// reply is unusable.
size_t MacAddressLength(int family, const unsigned char *reply, size_t length);
// Family 2 memory reply: the bytes before the last, at most the first 10, are digits.
bool IsMemoryNumberReply(const unsigned char *reply, size_t length);

// Version text: from the start position (family 2: after the first line feed, if any), every
// byte of 0x1F or less becomes a space in the reply itself; the bytes are copied to out with
// runs of spaces made one and a trailing space dropped. out needs room for length bytes.
// Returns the number of bytes copied.
size_t NormaliseVersionText(int family, unsigned char *reply, size_t length, unsigned char *out);
