// Decryption and inflation of firmware packages: the three RC4 keys, DecryptHeaderField,
// DecryptBlockHead, DecryptPartData and InflateBlock (byte level, no Windows headers).
// RC4 is symmetric, so the package tool encrypts with these same routines.
#pragma once

#include <cstdint>

// out[j] = header[18 + j] XOR the header key stream, j = 0 .. count-1: count 10 gives the
// product_code of a single-image package, 26 the descriptor of a multi-part package. The key
// stream starts afresh on every call; header is not changed.
void DecryptHeaderField(unsigned char *out, uint32_t count, const unsigned char *header);

// Decrypts in place the first min(length, 128) bytes of one block's data under the block key
// (the 10 product-code bytes and the block key suffix); later bytes stay as stored. Called once
// per block, so every block's key stream starts at its first byte.
void DecryptBlockHead(const unsigned char *productCode, unsigned char *data, uint32_t length);

// Decrypts in place all length bytes of one part under the part key (the 10 product-code bytes
// and the part key suffix), key stream started afresh.
void DecryptPartData(const unsigned char *productCode, unsigned char *data, uint32_t length);

// InflateBlock failures. Every one of them is negative, so callers that only need "failed" test
// for a result below zero.
constexpr int32_t kInflateDamaged = -1;   // not a zlib stream, bad data or check value
constexpr int32_t kInflateCutShort = -2;  // the block's bytes end before its stream does
constexpr int32_t kInflateTooLarge = -3;  // the stream does not end within the inflate buffer
constexpr int32_t kInflateNoMemory = -4;  // zlib could not set up its state

// Inflates one block's zlib stream (RFC 1950, Adler-32 trailer) with one inflate call into out,
// the 4,194,304-byte inflate buffer, and returns the number of bytes produced. Succeeds only when
// the stream ends within the buffer: a stream that is cut short or would inflate to more is a
// failure, never a partial result that would reach the printer.
int32_t InflateBlock(const unsigned char *data, uint32_t length, unsigned char *out);
