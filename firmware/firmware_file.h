// The firmware file on disk as the whole-file walk reads it: a FirmwareSource over a file handle.
#pragma once

#include <windows.h>

#include "firmware/package_reader.h"

// Opens path for reading with read sharing, existing files only; INVALID_HANDLE_VALUE on
// failure.
HANDLE OpenFirmwareFile(const wchar_t *path);

// A source reading *file (which must stay open while the walk runs).
FirmwareSource FirmwareFileSource(HANDLE *file);

// Closes a firmware file when the scope that opened it ends, on every way out.
struct FirmwareFileGuard {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~FirmwareFileGuard() { Close(); }
  void Close() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
};
