// Reading the firmware file for the whole-file walk.
#include "firmware/firmware_file.h"

namespace {

bool ReadFirmware(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  HANDLE file = *static_cast<HANDLE *>(context);
  *got = 0;
  // A disk file normally fills the request in one call; the walk takes a short read for the end
  // of the file, so keep reading until the request is met or a read brings nothing.
  while (*got < count) {
    DWORD read = 0;
    if (!ReadFile(file, out + *got, count - *got, &read, nullptr)) return false;
    if (read == 0) break;
    *got += read;
  }
  return true;
}

bool SeekFirmware(void *context, uint32_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return SetFilePointerEx(*static_cast<HANDLE *>(context), distance, nullptr, FILE_BEGIN) != 0;
}

bool SizeOfFirmware(void *context, uint64_t *size) {
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(*static_cast<HANDLE *>(context), &bytes)) return false;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

}  // namespace

HANDLE OpenFirmwareFile(const wchar_t *path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

FirmwareSource FirmwareFileSource(HANDLE *file) {
  return FirmwareSource{file, ReadFirmware, SeekFirmware, SizeOfFirmware};
}
