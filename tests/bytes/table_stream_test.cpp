// Inflation of the stored table streams: exact size and a complete stream, or failure.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "tables/table_stream.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Stored(const Bytes &plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9), Z_OK);
  out.resize(size);
  out[0] = kStoredStreamMark[0];
  out[1] = kStoredStreamMark[1];
  return out;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 7) ^ (i >> 5));
  return b;
}

TEST(StoredTable, ExpandsToExactlyTheStoredBytes) {
  const Bytes plain = Pattern(17408);
  Bytes stream = Stored(plain);
  Bytes out(plain.size());
  ASSERT_TRUE(InflateStoredTable(stream.data(), stream.size(), out.data(), out.size()));
  EXPECT_EQ(out, plain);
  // The header is restored in place, as the program does with its stored copy.
  EXPECT_EQ(stream[0], 0x78);
  EXPECT_EQ(stream[1], 0x9C);
}

TEST(StoredTable, RefusesDamagedShortAndOverlongStreams) {
  const Bytes plain = Pattern(3381);
  Bytes out(plain.size() + 1);

  Bytes truncated = Stored(plain);
  truncated.resize(truncated.size() / 2);
  EXPECT_FALSE(InflateStoredTable(truncated.data(), truncated.size(), out.data(), plain.size()))
      << "a stream cut in half";

  Bytes noTrailer = Stored(plain);
  noTrailer.resize(noTrailer.size() - 4);  // the Adler-32 check value is missing
  EXPECT_FALSE(InflateStoredTable(noTrailer.data(), noTrailer.size(), out.data(), plain.size()))
      << "a stream without its check value";

  Bytes flipped = Stored(plain);
  flipped[flipped.size() / 2] ^= 0x55;
  EXPECT_FALSE(InflateStoredTable(flipped.data(), flipped.size(), out.data(), plain.size()))
      << "a stream with a damaged byte";

  Bytes longer = Stored(plain);
  EXPECT_FALSE(InflateStoredTable(longer.data(), longer.size(), out.data(), plain.size() - 1))
      << "a stream that expands past its table";

  Bytes shorter = Stored(Pattern(3380));
  EXPECT_FALSE(InflateStoredTable(shorter.data(), shorter.size(), out.data(), plain.size()))
      << "a stream that ends before its table is full";

  Bytes tiny = {0x4B};
  EXPECT_FALSE(InflateStoredTable(tiny.data(), tiny.size(), out.data(), plain.size()));
}

}  // namespace
