// Reading the firmware file for the whole-file walk on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "firmware/firmware_file.h"

// Linux cannot keep writers out of a file as Windows' share mode does. The file is checked whole
// before anything is sent and then read again for the transfer, so a change in between would
// send what was never checked: every read makes sure, once it has read, that the file is still
// the one opened, so that nothing read after a change is handed on.
struct FirmwareFileReader::State {
  int fd;
  struct stat opened;
};

namespace {

bool Unchanged(const FirmwareFileReader::State &state) {
  struct stat now;
  if (fstat(state.fd, &now) != 0) return false;
  return now.st_size == state.opened.st_size && now.st_mtim.tv_sec == state.opened.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == state.opened.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == state.opened.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == state.opened.st_ctim.tv_nsec;
}

bool ReadFirmware(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  const auto *state = static_cast<const FirmwareFileReader::State *>(context);
  *got = 0;
  // The walk takes a short read for the end of the file, so keep reading until the request is
  // met or a read brings nothing.
  while (*got < count) {
    const ssize_t n = read(state->fd, out + *got, count - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<uint32_t>(n);
  }
  return Unchanged(*state);
}

bool SeekFirmware(void *context, uint32_t offset) {
  const auto *state = static_cast<const FirmwareFileReader::State *>(context);
  return lseek(state->fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool SizeOfFirmware(void *context, uint64_t *size) {
  const auto *state = static_cast<const FirmwareFileReader::State *>(context);
  struct stat now;
  if (fstat(state->fd, &now) != 0 || now.st_size < 0) return false;
  *size = static_cast<uint64_t>(now.st_size);
  return true;
}

}  // namespace

FirmwareFileReader::FirmwareFileReader(const char *utf8Path) {
  const int fd = open(utf8Path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened;
  // Only a regular file: a directory or a device would read as something else or never end.
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    close(fd);
    return;
  }
  state_ = new State{fd, opened};
}

FirmwareFileReader::~FirmwareFileReader() { Close(); }

bool FirmwareFileReader::SameFileAs(const FirmwareFileReader &other) const {
  if (!state_ || !other.state_ || !Unchanged(*other.state_) || !Unchanged(*state_)) return false;
  const struct stat &mine = state_->opened, &theirs = other.state_->opened;
  return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino &&
         mine.st_size == theirs.st_size && mine.st_mtim.tv_sec == theirs.st_mtim.tv_sec &&
         mine.st_mtim.tv_nsec == theirs.st_mtim.tv_nsec &&
         mine.st_ctim.tv_sec == theirs.st_ctim.tv_sec &&
         mine.st_ctim.tv_nsec == theirs.st_ctim.tv_nsec;
}

FirmwareSource FirmwareFileReader::Source() {
  return FirmwareSource{state_, ReadFirmware, SeekFirmware, SizeOfFirmware};
}

void FirmwareFileReader::Close() {
  if (state_) close(state_->fd);
  delete state_;
  state_ = nullptr;
}
