// A firmware file on disk behind a FirmwareSource.
#include "file_source.h"

#include <sys/stat.h>

namespace {

bool FileRead(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  FileSource *source = static_cast<FileSource *>(context);
  // fread may return early on a pipe or a signal; only the end of the file may cut a read short.
  size_t total = 0;
  while (total < count) {
    const size_t n = std::fread(out + total, 1, count - total, source->file);
    if (n == 0) break;
    total += n;
  }
  *got = static_cast<uint32_t>(total);
  source->position += total;
  return !std::ferror(source->file);
}

bool FileSeek(void *context, uint32_t offset) {
  FileSource *source = static_cast<FileSource *>(context);
  if (fseeko(source->file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  source->position = offset;
  return true;
}

bool FileSize(void *context, uint64_t *size) {
  struct stat st;
  if (fstat(fileno(static_cast<FileSource *>(context)->file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace

bool OpenFileSource(FileSource *source, const char *path) {
  source->file = std::fopen(path, "rb");
  source->position = 0;
  return source->file != nullptr;
}

void CloseFileSource(FileSource *source) {
  if (source->file != nullptr) std::fclose(source->file);
  source->file = nullptr;
}

FirmwareSource AsFirmwareSource(FileSource *source) {
  return FirmwareSource{source, FileRead, FileSeek, FileSize};
}
