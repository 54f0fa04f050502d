// Padded table layouts and their stored (compressed, header-altered) form.
#include "table_layout.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "tables/table_stream.h"

namespace {

void PutPadded(Bytes &out, const std::string &text, size_t slot) {
  const size_t start = out.size();
  out.insert(out.end(), text.begin(), text.end());
  out.resize(start + slot, 0);
}

}  // namespace

Bytes LayOutUiTexts(const TableSources &tables) {
  Bytes out;
  out.reserve(kLanguageCount * kUiTextCount * kUiTextSlotBytes);
  for (int l = 0; l < kLanguageCount; ++l) {
    for (int k = 0; k < kUiTextCount; ++k) PutPadded(out, tables.uiTexts[l][k], kUiTextSlotBytes);
  }
  return out;
}

Bytes LayOutInternalStrings(const TableSources &tables) {
  Bytes out;
  out.reserve(kInternalStringCount * kInternalStringSlotBytes);
  for (int i = 0; i < kInternalStringCount; ++i) {
    PutPadded(out, tables.internalStrings[i], kInternalStringSlotBytes);
  }
  return out;
}

Bytes LayOutModelTable(const TableSources &tables) {
  Bytes out;
  out.reserve(kModelCount * kModelRecordBytes);
  for (const ModelRow &row : tables.models) {
    PutPadded(out, row.productIdCode, 4);
    out.push_back(static_cast<uint8_t>(row.family));
    PutPadded(out, row.modelName, kModelNameBytes);
  }
  return out;
}

Bytes PackStoredStream(const Bytes &layout) {
  uLongf size = compressBound(static_cast<uLong>(layout.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, layout.data(), static_cast<uLong>(layout.size()),
                Z_BEST_COMPRESSION) != Z_OK) {
    throw std::runtime_error("zlib compression failed");
  }
  out.resize(size);
  // The stored stream does not begin with a recognisable zlib header; the program restores it.
  out[0] = kStoredStreamMark[0];
  out[1] = kStoredStreamMark[1];
  return out;
}
