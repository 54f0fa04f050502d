// Finding command packets in a stream of bytes, for the stand-in printers of Linux.
#include "packet_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/packets.h"

bool WriteAll(int fd, const unsigned char *bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The packet's own prefix begins with the universal exit, so its end is searched after the
// prefix.
size_t PacketEnd(const std::vector<unsigned char> &bytes) {
  const size_t compared = std::min(bytes.size(), static_cast<size_t>(kPacketPrefixBytes));
  if (std::memcmp(bytes.data(), kPacketPrefix, compared) != 0) return bytes.size();
  for (size_t at = kPacketPrefixBytes; at + kUniversalExitBytes <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, kUniversalExit, kUniversalExitBytes) == 0) {
      return at + kUniversalExitBytes;
    }
  }
  return bytes.size() > static_cast<size_t>(kMaxPacketBytes) ? bytes.size() : 0;
}

void LengthenVersionText(PrinterIdentity *identity, size_t bytes) {
  std::string &text = identity->versionText;
  const std::string tail = text;
  const size_t framing = std::string("build \n").size();
  text = "build " +
         std::string(bytes > tail.size() + framing ? bytes - tail.size() - framing : 0, 'x') +
         "\n" + tail;
}
