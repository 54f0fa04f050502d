// The firmware file on disk as the whole-file walk reads it: a FirmwareSource over a file opened
// for reading. Each operating system's backend (os/win32, os/linux) opens and reads it.
#pragma once

#include "firmware/package_reader.h"

class FirmwareFileReader {
 public:
  // Opens an existing file for reading. Others may read it meanwhile and nobody may change it:
  // on Windows the share mode keeps writers out; on Linux, where nothing can, a read fails once
  // the file has changed since it was opened.
  explicit FirmwareFileReader(const char *utf8Path);
#ifdef _WIN32
  explicit FirmwareFileReader(const wchar_t *path);
#endif
  ~FirmwareFileReader();
  FirmwareFileReader(const FirmwareFileReader &) = delete;
  FirmwareFileReader &operator=(const FirmwareFileReader &) = delete;

  bool IsOpen() const { return state_ != nullptr; }
  // Whether this reader has the file other has, unchanged since other opened it: a file checked
  // through other may then be sent through this one. Linux compares the file's identity, size
  // and times; on Windows other's open keeps writers out for as long as it lasts.
  bool SameFileAs(const FirmwareFileReader &other) const;
  // A source reading this file; valid while it stays open.
  FirmwareSource Source();
  void Close();

  struct State;  // the backend's

 private:
  State *state_ = nullptr;
};
