// Helpers for the firmware package tests and the fuzz target: a file held in memory behind a
// FirmwareSource (with injectable I/O errors), a walk that records what it saw, and test data.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/package_reader.h"

namespace package_test {

using Bytes = std::vector<unsigned char>;

// A file in memory. readErrorAt / seekErrorAt make the n-th call (from 1) fail; sizeOverride
// pretends a larger file.
struct MemoryFile {
  const unsigned char *bytes = nullptr;
  size_t length = 0;
  size_t position = 0;
  int reads = 0;
  int seeks = 0;
  int readErrorAt = 0;
  int seekErrorAt = 0;
  uint64_t sizeOverride = 0;
};

inline bool MemoryRead(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  MemoryFile *file = static_cast<MemoryFile *>(context);
  if (++file->reads == file->readErrorAt) return false;
  const size_t left = file->position < file->length ? file->length - file->position : 0;
  const size_t n = count < left ? count : left;
  if (n > 0) std::memcpy(out, file->bytes + file->position, n);
  file->position += n;
  *got = static_cast<uint32_t>(n);
  return true;
}

inline bool MemorySeek(void *context, uint32_t offset) {
  MemoryFile *file = static_cast<MemoryFile *>(context);
  if (++file->seeks == file->seekErrorAt) return false;
  file->position = offset;
  return true;
}

inline bool MemorySize(void *context, uint64_t *size) {
  const MemoryFile *file = static_cast<const MemoryFile *>(context);
  *size = file->sizeOverride != 0 ? file->sizeOverride : file->length;
  return true;
}

inline FirmwareSource MemorySource(MemoryFile *file) {
  return FirmwareSource{file, MemoryRead, MemorySeek, MemorySize};
}

// The run's three buffers, allocated once per process: a walk never needs more.
inline const FirmwareBuffers &SharedBuffers() {
  static std::vector<unsigned char> file(kFileBufferSize), inflate(kInflateBufferSize),
      part(kPartBufferSize);
  static const FirmwareBuffers buffers = {file.data(), inflate.data(), part.data()};
  return buffers;
}

// Bytes that compress about as well as firmware does: runs of a few opcodes among noise.
inline Bytes FirmwareLike(size_t length, unsigned char lead = 0x1B, uint32_t mix = 1) {
  Bytes b(length);
  uint32_t x = mix;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    const unsigned r = x >> 16;
    b[i] = (r & 3) != 0 ? static_cast<unsigned char>("\x00\x01\x20\x4C\x8B\xE8"[r % 6])
                        : static_cast<unsigned char>(r >> 4);
  }
  if (length > 0) b[0] = lead;
  return b;
}

inline const unsigned char *Text(const char *s) { return reinterpret_cast<const unsigned char *>(s); }

}  // namespace package_test
