// RC4 against published vectors, recognition of the three file kinds, the three decryption
// routines and InflateBlock's rule that a block counts only when its stream ends in the buffer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/package_decode.h"
#include "firmware/rc4.h"
#include "package_test_support.h"

namespace {

using package_test::Bytes;
using package_test::FirmwareLike;
using package_test::Text;

Bytes Hex(std::string hex) {
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(Rc4, KeyStreamMatchesRfc6229) {
  struct Case { const char *key; size_t offset; const char *stream; };
  const Case cases[] = {
      {"0102030405", 0, "b2 39 63 05 f0 3d c0 27 cc c3 52 4a 0a 11 18 a8"},
      {"0102030405", 16, "69 82 94 4f 18 fc 82 d5 89 c4 03 a4 7a 0d 09 19"},
      {"0102030405", 4096, "ff 25 b5 89 95 99 67 07 e5 1f bd f0 8b 34 d8 75"},
      {"01020304050607", 240, "91 4f 02 53 1c 92 18 81 0d f6 0f 67 e3 38 15 4c"},
      {"0102030405060708090a0b0c0d0e0f10", 0, "9a c7 cc 9a 60 9d 1e f7 b2 93 28 99 cd e4 1b 97"},
      {"0102030405060708090a0b0c0d0e0f10", 256, "d3 9d 56 6b c6 bc e3 01 07 68 15 15 49 f3 87 3f"},
      {"0102030405060708090a0b0c0d0e0f101112131415161718", 1520,
       "96 c2 48 61 0a ad ed fe af 89 78 c0 3d e8 20 5a"},
  };
  for (const Case &c : cases) {
    const Bytes key = Hex(c.key);
    Rc4State state;
    Rc4Init(&state, key.data(), key.size());
    Bytes stream(c.offset + 16, 0);
    // In two uneven pieces: the second call must continue the first one's key stream.
    Rc4Apply(&state, stream.data(), 7);
    Rc4Apply(&state, stream.data() + 7, stream.size() - 7);
    EXPECT_EQ(Bytes(stream.end() - 16, stream.end()), Hex(c.stream))
        << "key " << c.key << " at offset " << c.offset;
  }
}

TEST(Rc4, EncryptsTheClassicPlaintexts) {
  struct Case { const char *key, *plain, *cipher; };
  const Case cases[] = {
      {"Key", "Plaintext", "bbf316e8d940af0ad3"},
      {"Wiki", "pedia", "1021bf0420"},
      {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
  };
  for (const Case &c : cases) {
    Rc4State state;
    Rc4Init(&state, Text(c.key), std::string(c.key).size());
    Bytes data(c.plain, c.plain + std::string(c.plain).size());
    Rc4Apply(&state, data.data(), data.size());
    EXPECT_EQ(data, Hex(c.cipher)) << c.key;
  }
}

Bytes HeaderWith(const char *first, const char *kindField) {
  Bytes h(kFirmwareHeaderLength, 0);
  std::memcpy(h.data(), first, 2);
  std::memcpy(h.data() + kKindFieldOffset, kindField, 4);
  return h;
}

TEST(FirmwareKind, IsToldByTheMagicBytesAndTheExactPackMarker) {
  struct Case { const char *first, *kindField; FirmwareKind kind; };
  const Case cases[] = {
      {"St", "PACK", FirmwareKind::MultiPart},
      {"St", "pack", FirmwareKind::SingleImage},  // differs only in case
      {"St", "PACk", FirmwareKind::SingleImage},
      {"St", "\x00\x10\x00\x00", FirmwareKind::SingleImage},
      {"st", "PACK", FirmwareKind::RawImage},
      {"ST", "PACK", FirmwareKind::RawImage},
      {"tS", "PACK", FirmwareKind::RawImage},
      {"\x1B%", "PACK", FirmwareKind::RawImage},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(RecogniseFirmwareFile(HeaderWith(c.first, c.kindField).data()), c.kind)
        << c.first << " " << c.kindField;
  }
}

TEST(FirmwareContent, BeginsWithEscapeOrTheMarkOnlyWhenTheBytesExist) {
  struct Case { Bytes data; size_t length; bool firmware; bool part; };
  const Case cases[] = {
      {{0x1B, '%'}, 2, true, true},
      {{0x1B, 'E'}, 2, true, false},
      {{0x1B}, 1, true, false},
      {{0xAD, 0xDE}, 2, true, false},
      {{0xAD, 0xDE}, 1, false, false},  // the second byte lies past what was produced
      {{0xDE, 0xAD}, 2, false, false},
      {{0x1B, '%'}, 0, false, false},
      {{0x00, 0x1B}, 2, false, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(IsFirmwareContent(c.data.data(), c.length), c.firmware);
    EXPECT_EQ(IsPartContent(c.data.data(), c.length), c.part);
  }
}

TEST(Descriptor, WildcardNeedsAllFourPlacesAndPartCountIsTheDigit) {
  unsigned char d[kDescriptorLength];
  MakeDescriptor(d, Text("AB12345678"), Text("*x*y*z*"), Text("4B560042"), '3');
  EXPECT_TRUE(IsRequiredVersionWildcard(d)) << "bytes 11, 13 and 15 do not matter";
  EXPECT_EQ(DescriptorPartCount(d), 3u);
  for (size_t position : kWildcardPositions) {
    MakeDescriptor(d, Text("AB12345678"), Text("*******"), Text("4B560042"), '3');
    d[position] = '1';
    EXPECT_FALSE(IsRequiredVersionWildcard(d)) << "version byte " << position;
  }
  struct Count { unsigned char byte; uint32_t count; };
  for (const Count &c : {Count{'0', 0}, Count{'9', 9}, Count{':', 10}, Count{'/', 0xFFFFFFFFu}}) {
    d[kDescriptorPartCount] = c.byte;
    EXPECT_EQ(DescriptorPartCount(d), c.count) << c.byte;
  }
}

TEST(Decryption, HeaderFieldRoundTripsAndStartsAfreshAtOffset18) {
  unsigned char plain[kDescriptorLength];
  MakeDescriptor(plain, Text("KX-7300-EU"), Text("3.10.02"), Text("4B5600A1"), '2');
  Bytes package;
  AppendMultiPartHeader(package, plain);
  const Bytes stored = package;

  unsigned char descriptor[kDescriptorLength];
  DecryptHeaderField(descriptor, kDescriptorLength, package.data());
  EXPECT_EQ(Bytes(descriptor, descriptor + kDescriptorLength), Bytes(plain, plain + 26));
  EXPECT_EQ(package, stored) << "the header is read, not changed";
  EXPECT_NE(Bytes(package.begin() + 18, package.begin() + 44), Bytes(plain, plain + 26));

  // A single-image product_code decrypts with the same 10 key-stream bytes.
  Bytes single;
  AppendSingleImageHeader(single, plain, 1000);
  EXPECT_EQ(Bytes(single.begin() + 18, single.begin() + 28),
            Bytes(package.begin() + 18, package.begin() + 28));
  unsigned char code[kProductCodeLength];
  DecryptHeaderField(code, kProductCodeLength, single.data());
  EXPECT_EQ(0, std::memcmp(code, "KX-7300-EU", 10));
}

// The key stream one routine XORs in, seen by running it over zero bytes.
Bytes BlockKeyStream(const char *productCode, size_t length) {
  Bytes zeros(length, 0);
  DecryptBlockHead(Text(productCode), zeros.data(), static_cast<uint32_t>(length));
  return zeros;
}

TEST(Decryption, BlockHeadCoversOnlyTheFirst128BytesAndRestartsEveryBlock) {
  const Bytes stream = BlockKeyStream("AB12345678", kBlockHeadLength);
  for (size_t length : {1u, 127u, 128u, 129u, 300u}) {
    const Bytes plain = FirmwareLike(length, 0x78, static_cast<uint32_t>(length));
    Bytes data = plain;
    DecryptBlockHead(Text("AB12345678"), data.data(), static_cast<uint32_t>(length));
    for (size_t i = 0; i < length; ++i) {
      const unsigned char expected = i < kBlockHeadLength ? plain[i] ^ stream[i] : plain[i];
      ASSERT_EQ(data[i], expected) << "length " << length << ", byte " << i;
    }
    // Identical stored blocks decrypt identically: nothing carries over between calls.
    Bytes again = plain;
    DecryptBlockHead(Text("AB12345678"), again.data(), static_cast<uint32_t>(length));
    EXPECT_EQ(again, data);
  }
}

TEST(Decryption, TheThreeKeysDifferAndTheProductCodeIsPartOfTwo) {
  const Bytes zeros(kDescriptorLength + kProductCodeOffset, 0);
  unsigned char headerStream[kDescriptorLength];
  DecryptHeaderField(headerStream, kDescriptorLength, zeros.data());
  Bytes part(kDescriptorLength, 0);
  DecryptPartData(Text("AB12345678"), part.data(), kDescriptorLength);
  const Bytes block = BlockKeyStream("AB12345678", kDescriptorLength);

  EXPECT_NE(Bytes(headerStream, headerStream + kDescriptorLength), block);
  EXPECT_NE(Bytes(headerStream, headerStream + kDescriptorLength), part);
  EXPECT_NE(block, part);
  EXPECT_NE(block, BlockKeyStream("AB12345679", kDescriptorLength));

  // The part key runs on past 128 bytes, unlike the block key.
  const Bytes plain = FirmwareLike(1000);
  Bytes data = plain;
  DecryptPartData(Text("AB12345678"), data.data(), 1000);
  EXPECT_NE(Bytes(data.begin() + 128, data.end()), Bytes(plain.begin() + 128, plain.end()));
  DecryptPartData(Text("AB12345678"), data.data(), 1000);
  EXPECT_EQ(data, plain);
}

// ---- InflateBlock ----------------------------------------------------------------------------

Bytes WithDictionary(const Bytes &plain) {
  z_stream zs = {};
  deflateInit(&zs, 6);
  const unsigned char dictionary[] = "firmware";
  deflateSetDictionary(&zs, dictionary, sizeof dictionary - 1);
  Bytes out(deflateBound(&zs, static_cast<uLong>(plain.size())));
  zs.next_in = const_cast<unsigned char *>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

TEST(InflateBlock, SucceedsOnlyWhenTheStreamEndsWithinFourMebibytes) {
  const Bytes plain = FirmwareLike(70000);
  const Bytes good = CompressBlock(plain.data(), plain.size(), 6);
  const Bytes full(kInflateBufferSize, 0x1B);
  const Bytes over(kInflateBufferSize + 1, 0x1B);
  Bytes empty = CompressBlock(nullptr, 0, 6);
  Bytes damaged = good;
  damaged[good.size() / 2] ^= 0x40;
  Bytes badCheck = good;
  badCheck.back() ^= 0x01;
  Bytes trailing = good;
  trailing.insert(trailing.end(), {0xFF, 0xFF, 0xFF});

  struct Case { const char *name; Bytes stream; int32_t result; };
  const Case cases[] = {
      {"a complete stream", good, 70000},
      {"extra bytes after the stream end are never read", trailing, 70000},
      {"a stream of nothing", empty, 0},
      {"exactly the buffer", CompressBlock(full.data(), full.size(), 9),
       static_cast<int32_t>(kInflateBufferSize)},
      {"one byte past the buffer", CompressBlock(over.data(), over.size(), 9), kInflateTooLarge},
      {"no bytes at all", {}, kInflateCutShort},
      {"cut in half", Bytes(good.begin(), good.begin() + good.size() / 2), kInflateCutShort},
      {"without its Adler-32 trailer", Bytes(good.begin(), good.end() - 4), kInflateCutShort},
      {"a damaged byte", damaged, kInflateDamaged},
      {"a wrong check value", badCheck, kInflateDamaged},
      {"raw deflate without the zlib wrapper", Bytes(good.begin() + 2, good.end()), kInflateDamaged},
      {"a preset dictionary", WithDictionary(plain), kInflateDamaged},
  };
  std::vector<unsigned char> out(kInflateBufferSize);
  for (const Case &c : cases) {
    EXPECT_EQ(InflateBlock(c.stream.data(), static_cast<uint32_t>(c.stream.size()), out.data()),
              c.result)
        << c.name;
  }
  ASSERT_EQ(InflateBlock(good.data(), static_cast<uint32_t>(good.size()), out.data()), 70000);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 70000), plain);
}

}  // namespace
