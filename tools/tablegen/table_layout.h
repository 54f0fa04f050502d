// Lays the table sources out as the program's expanded tables and packs them as stored streams.
#pragma once

#include <cstdint>
#include <vector>

#include "table_sources.h"

using Bytes = std::vector<uint8_t>;

// Language-major: language 0 texts 0-37, then language 1, ...; each text a 500-byte slot
// holding its NUL-terminated UTF-8 form padded with zeros (76,000 bytes).
Bytes LayOutUiTexts(const TableSources &tables);
// 136 slots of 128 bytes, each a NUL-terminated single-byte string padded with zeros.
Bytes LayOutInternalStrings(const TableSources &tables);
// 161 records of 21 bytes: product id code (4), family (1), model name (16, NUL-padded).
Bytes LayOutModelTable(const TableSources &tables);

// Compresses a layout with zlib and alters the two header bytes, as the program stores it.
Bytes PackStoredStream(const Bytes &layout);
