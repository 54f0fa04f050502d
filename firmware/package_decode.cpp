// Decryption and inflation of firmware packages.
#include "firmware/package_decode.h"

#include <zlib.h>

#include <cstring>

#include "firmware/package.h"
#include "firmware/rc4.h"

namespace {

// ---- The three key constants -------------------------------------------------------------------
// No key is stored whole: each 16-byte constant is built on every call from its stored bytes,
// each XORed with a value that depends on its position, into a local array that dies with the
// call. The reads are volatile so the compiler cannot fold the finished constant into the binary.
constexpr size_t kKeyConstantLength = 16;
constexpr size_t kProductKeyLength = kProductCodeLength + kKeyConstantLength;  // 26

const volatile unsigned char kHeaderKeyStored[kKeyConstantLength] = {
    0x1B, 0xFE, 0x2C, 0xAF, 0x35, 0x1B, 0xCC, 0x8C, 0x4C, 0x20, 0x96, 0xB0, 0xE2, 0x66, 0xB7, 0xD7};
const volatile unsigned char kBlockKeySuffixStored[kKeyConstantLength] = {
    0x5B, 0xFA, 0x80, 0x5E, 0x86, 0x31, 0xA6, 0x28, 0xAA, 0x8B, 0x04, 0x05, 0x2F, 0x0D, 0x56, 0x61};
const volatile unsigned char kPartKeySuffixStored[kKeyConstantLength] = {
    0x1E, 0xC3, 0xF7, 0xC9, 0x37, 0x30, 0x85, 0x87, 0x93, 0x16, 0x80, 0x28, 0x94, 0x19, 0x24, 0x0A};

unsigned char PositionMask(size_t position) {
  return static_cast<unsigned char>(0xC5 ^ (position * 0x3B));
}

void BuildKeyConstant(unsigned char *out, const volatile unsigned char *stored) {
  for (size_t n = 0; n < kKeyConstantLength; ++n) out[n] = stored[n] ^ PositionMask(n);
}

// RC4 under product code + suffix: the block key or the part key.
void ApplyProductKey(const unsigned char *productCode, const volatile unsigned char *suffixStored,
                     unsigned char *data, uint32_t length) {
  unsigned char key[kProductKeyLength];
  std::memcpy(key, productCode, kProductCodeLength);
  BuildKeyConstant(key + kProductCodeLength, suffixStored);
  Rc4State state;
  Rc4Init(&state, key, sizeof key);
  Rc4Apply(&state, data, length);
}

}  // namespace

void DecryptHeaderField(unsigned char *out, uint32_t count, const unsigned char *header) {
  unsigned char key[kKeyConstantLength];
  BuildKeyConstant(key, kHeaderKeyStored);
  Rc4State state;
  Rc4Init(&state, key, sizeof key);
  std::memcpy(out, header + kProductCodeOffset, count);
  Rc4Apply(&state, out, count);
}

void DecryptBlockHead(const unsigned char *productCode, unsigned char *data, uint32_t length) {
  const uint32_t head = length < kBlockHeadLength ? length : kBlockHeadLength;
  ApplyProductKey(productCode, kBlockKeySuffixStored, data, head);
}

void DecryptPartData(const unsigned char *productCode, unsigned char *data, uint32_t length) {
  ApplyProductKey(productCode, kPartKeySuffixStored, data, length);
}

int32_t InflateBlock(const unsigned char *data, uint32_t length, unsigned char *out) {
  z_stream zs = {};  // zalloc/zfree/opaque null: zlib's default allocator
  zs.next_in = const_cast<Bytef *>(data);  // zlib 1.2.13 without ZLIB_CONST takes it non-const
  zs.avail_in = length;
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(kInflateBufferSize);
  if (inflateInit_(&zs, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK) {
    return kInflateNoMemory;
  }
  const int result = inflate(&zs, Z_NO_FLUSH);
  const uInt spaceLeft = zs.avail_out;
  inflateEnd(&zs);

  if (result == Z_STREAM_END) return static_cast<int32_t>(kInflateBufferSize - spaceLeft);
  if (result == Z_MEM_ERROR) return kInflateNoMemory;
  // Z_OK or Z_BUF_ERROR: the stream stopped for want of room or of input.
  if (result == Z_OK || result == Z_BUF_ERROR) {
    return spaceLeft == 0 ? kInflateTooLarge : kInflateCutShort;
  }
  // Z_DATA_ERROR, Z_STREAM_ERROR, and Z_NEED_DICT: a preset dictionary the package cannot carry.
  return kInflateDamaged;
}
