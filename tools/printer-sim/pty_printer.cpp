// A simulated printer on a pty, delivering its replies one block per read as usblp does.
#include "pty_printer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device/packets.h"
#include "device/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longer than the 5 s a program waits for a read: a block still unread by then was given up.
constexpr auto kReadAwaited = std::chrono::seconds(7);
constexpr auto kServePollMilliseconds = 100;

}  // namespace

PtyPrinter::PtyPrinter(const PtyPrinterOptions &options)
    : options_(options), state_(NewPrinterState(options.identity, options.faults)) {}

PtyPrinter::~PtyPrinter() { Stop(); }

bool PtyPrinter::Start(const std::string &link, std::string *error) {
  auto fail = [&](const char *what) {
    *error = std::string(what) + ": " + std::strerror(errno);
    CloseAll();
    return false;
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("pty");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
  slaveName_ = name;
  // Held open for the printer's whole life: the pty stays up between the program's
  // connections, and this descriptor tells whether a block has been read.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return fail("open the pty's slave");
  // Raw before anyone else opens it: no echo of the packets back to their sender, and no byte
  // changed on the way in either direction.
  termios mode = {};
  if (tcgetattr(slave_, &mode) != 0) return fail("tcgetattr");
  cfmakeraw(&mode);
  if (tcsetattr(slave_, TCSANOW, &mode) != 0) return fail("tcsetattr");
  if (symlink(name, link.c_str()) != 0) return fail(("symlink " + link).c_str());
  link_ = link;
  thread_ = std::thread(&PtyPrinter::Serve, this);
  return true;
}

void PtyPrinter::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  CloseAll();
}

// Nothing left to read on the master (its poll, like the slave's, first waits for bytes on their
// way), and then the thread idle: whatever it read before has been taken. In this order, a read
// between the two checks leaves the thread busy.
bool PtyPrinter::Settle(int timeoutMs) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(fdMutex_);
      if (master_ < 0 || stalled_) return true;
      pollfd wait = {master_, POLLIN, 0};
      if (poll(&wait, 1, 0) == 0 && idle_) return true;
    }
    usleep(1000);
  }
  return false;
}

void PtyPrinter::CloseAll() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  for (int *fd : {&master_, &slave_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!link_.empty()) unlink(link_.c_str());
  link_.clear();
}

std::vector<Transfer> PtyPrinter::Packets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

Transfer PtyPrinter::Firmware() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_;
}

Clock::time_point PtyPrinter::FirstFirmwareByte() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstFirmware_;
}

Clock::time_point PtyPrinter::LastFirmwareByte() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFirmware_;
}

void PtyPrinter::ClearFirmware() {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.clear();
  firmwareBytes_ = 0;
  firstFirmware_ = lastFirmware_ = Clock::time_point();
}

std::vector<size_t> PtyPrinter::PiecesDelivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pieces_;
}

void PtyPrinter::Serve() {
  std::vector<unsigned char> pending;
  std::vector<unsigned char> buffer(65536);
  while (!stopping_ && !gone_) {
    if (stalled_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kServePollMilliseconds));
      continue;
    }
    idle_ = true;
    pollfd wait = {master_, POLLIN, 0};
    const int ready = poll(&wait, 1, kServePollMilliseconds);
    idle_ = false;
    if (ready <= 0) continue;
    const ssize_t n = read(master_, buffer.data(), buffer.size());
    if (n <= 0) {
      // Not expected while the slave is held open; never a busy loop.
      if (n < 0 && errno != EAGAIN && errno != EINTR) usleep(10000);
      continue;
    }
    pending.insert(pending.end(), buffer.data(), buffer.data() + n);
    size_t end;
    while (!pending.empty() && !gone_ && (end = PacketEnd(pending)) > 0) {
      Take(pending.data(), end);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
}

void PtyPrinter::Take(const unsigned char *bytes, size_t length) {
  std::vector<Transfer> replies;
  if (HandleTransfer(state_, bytes, length, &replies) == TransferKind::kFirmware) {
    KeepFirmware(bytes, length);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.emplace_back(bytes, bytes + length);
  }
  for (const Transfer &block : replies) {
    if (!Deliver(block)) break;
  }
}

void PtyPrinter::KeepFirmware(const unsigned char *bytes, size_t length) {
  const uint64_t before = firmwareBytes_.load();
  const long long limit = options_.faults.disconnectAfter;
  bool goes = false;
  if (limit >= 0 && before + length >= static_cast<uint64_t>(limit)) {
    length = before < static_cast<uint64_t>(limit) ? static_cast<size_t>(limit - before) : 0;
    goes = true;
  }
  if (length > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastFirmware_ = Clock::now();
    if (firstFirmware_ == Clock::time_point()) firstFirmware_ = lastFirmware_;
    if (options_.keepFirmware) firmware_.insert(firmware_.end(), bytes, bytes + length);
    firmwareBytes_ += length;
  }
  if (goes) GoAway();
  if (options_.stallAfter >= 0 && firmwareBytes_ >= static_cast<uint64_t>(options_.stallAfter)) {
    stalled_ = true;
  }
}

// One block as usblp hands it over: in pieces of its read buffer and a rest, each read by the
// program before the next is written, so that no read returns more than one piece. A block of
// no bytes cannot be told apart on a stream and is not written.
bool PtyPrinter::Deliver(const Transfer &block) {
  for (size_t at = 0; at < block.size(); at += kUsblpReadPieceBytes) {
    const size_t piece = std::min<size_t>(kUsblpReadPieceBytes, block.size() - at);
    if (!WriteAll(master_, block.data() + at, piece)) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pieces_.push_back(piece);
    }
    if (!AwaitRead()) {
      // Given up by the program: what it did not read must not start its next reply.
      tcflush(slave_, TCIFLUSH);
      return false;
    }
  }
  return true;
}

// Until the program has read everything written to it. FIONREAD alone could read 0 while the
// bytes are still on their way from the master (the tty layer passes them on from a work
// queue); poll() on a slave with nothing to read first waits for that work, so "not readable"
// after it means read.
bool PtyPrinter::AwaitRead() {
  const Clock::time_point deadline = Clock::now() + kReadAwaited;
  useconds_t pause = 50;
  while (!stopping_) {
    pollfd wait = {slave_, POLLIN, 0};
    const int ready = poll(&wait, 1, 0);
    int unread = 0;
    if (ready == 0 && ioctl(slave_, FIONREAD, &unread) == 0 && unread == 0) return true;
    if (Clock::now() >= deadline) return false;
    usleep(pause);
    pause = std::min<useconds_t>(pause * 2, 1000);
  }
  return false;
}

// Unplugged: the program's descriptor is hung up (its writes fail) and the device file is gone.
void PtyPrinter::GoAway() {
  gone_ = true;
  CloseAll();
}
