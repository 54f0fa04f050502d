// A firmware file on disk behind a FirmwareSource, for the host tools (stdio, no Windows API).
#pragma once

#include <cstdint>
#include <cstdio>

#include "firmware/package_reader.h"

struct FileSource {
  std::FILE *file = nullptr;
  uint64_t position = 0;  // where the next read starts
};

// Opens path for reading; false (errno set) when it cannot be opened.
bool OpenFileSource(FileSource *source, const char *path);
void CloseFileSource(FileSource *source);
FirmwareSource AsFirmwareSource(FileSource *source);
