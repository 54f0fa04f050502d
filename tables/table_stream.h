// Inflation of the built-in tables' stored streams (byte level, no Windows headers).
#pragma once

#include <cstddef>

// The two bytes that stand in the place of the zlib header in a stored stream.
constexpr unsigned char kStoredStreamMark[2] = {0x4B, 0x56};

// Writes the standard zlib header (0x78 0x9C) over the first two bytes of stream, then inflates
// it with one inflate call into out. Succeeds only when the zlib stream ends and has produced
// exactly expandedSize bytes; a damaged, truncated or overlong stream fails.
bool InflateStoredTable(unsigned char *stream, size_t streamLength, unsigned char *out,
                        size_t expandedSize);
