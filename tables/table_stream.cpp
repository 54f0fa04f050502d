// Inflation of the built-in tables' stored streams.
#include "tables/table_stream.h"

#include <zlib.h>

bool InflateStoredTable(unsigned char *stream, size_t streamLength, unsigned char *out,
                        size_t expandedSize) {
  if (streamLength < 2) return false;
  stream[0] = 0x78;
  stream[1] = 0x9C;

  z_stream zs = {};  // zalloc/zfree/opaque null: zlib's default allocator
  zs.next_in = stream;
  zs.avail_in = static_cast<uInt>(streamLength);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(expandedSize);
  if (inflateInit_(&zs, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK) return false;
  const int result = inflate(&zs, Z_NO_FLUSH);
  const uLong produced = zs.total_out;
  inflateEnd(&zs);
  // A table that inflates short (progress without stream end) would leave slots silently
  // empty, so only a complete stream of exactly the table's size is accepted.
  return result == Z_STREAM_END && produced == expandedSize;
}
