// Reading the firmware file for the whole-file walk on Windows.
#include <windows.h>

#include <string>

#include "firmware/firmware_file.h"

struct FirmwareFileReader::State {
  HANDLE file;
};

namespace {

HANDLE FileOf(void *context) { return static_cast<HANDLE>(context); }

bool ReadFirmware(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  *got = 0;
  // A disk file normally fills the request in one call; the walk takes a short read for the end
  // of the file, so keep reading until the request is met or a read brings nothing.
  while (*got < count) {
    DWORD read = 0;
    if (!ReadFile(FileOf(context), out + *got, count - *got, &read, nullptr)) return false;
    if (read == 0) break;
    *got += read;
  }
  return true;
}

bool SeekFirmware(void *context, uint32_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return SetFilePointerEx(FileOf(context), distance, nullptr, FILE_BEGIN) != 0;
}

bool SizeOfFirmware(void *context, uint64_t *size) {
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(FileOf(context), &bytes)) return false;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

}  // namespace

FirmwareFileReader::FirmwareFileReader(const wchar_t *path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) state_ = new State{file};
}

FirmwareFileReader::FirmwareFileReader(const char *utf8Path) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, nullptr, 0);
  if (units <= 0) return;
  std::wstring path(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, &path[0], units);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) state_ = new State{file};
}

FirmwareFileReader::~FirmwareFileReader() { Close(); }

FirmwareSource FirmwareFileReader::Source() {
  return FirmwareSource{state_ ? state_->file : INVALID_HANDLE_VALUE, ReadFirmware, SeekFirmware,
                        SizeOfFirmware};
}

void FirmwareFileReader::Close() {
  if (state_) CloseHandle(state_->file);
  delete state_;
  state_ = nullptr;
}

bool FirmwareFileReader::SameFileAs(const FirmwareFileReader &other) const {
  return state_ != nullptr && other.state_ != nullptr;
}
