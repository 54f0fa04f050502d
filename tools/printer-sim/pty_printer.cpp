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
// What a printer with a flash intake rate reads at a time: one transfer of the sender's, so that
// what it has not taken yet waits in the pty and the sender's writes wait with it.
constexpr size_t kIntakeReadBytes = 4096;

}  // namespace

PtyPrinter::PtyPrinter(const PtyPrinterOptions &options)
    : options_(options),
      state_(NewPrinterState(options.identity, options.faults)),
      intake_(options.faults.intakeBytesPerSecond),
      replay_(options.replay ? new ReplayEngine(*options.replay) : nullptr) {}

PtyPrinter::~PtyPrinter() { Stop(); }

bool PtyPrinter::Start(const std::string &link, std::string *error) {
  link_ = link;
  if (!OpenPty(error)) return false;
  thread_ = std::thread(&PtyPrinter::Serve, this);
  return true;
}

// A new pty behind link_, at the start and after each restart; nothing is left when it fails.
bool PtyPrinter::OpenPty(std::string *error) {
  int master = -1, slave = -1;
  auto fail = [&](const std::string &what) {
    *error = what + ": " + std::strerror(errno);
    for (int fd : {master, slave}) {
      if (fd >= 0) close(fd);
    }
    return false;
  };
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return fail("pty");
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return fail("ptsname");
  // Held open for the printer's whole life: the pty stays up between the program's
  // connections, and this descriptor tells whether a block has been read.
  slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("open the pty's slave");
  // Raw before anyone else opens it: no echo of the packets back to their sender, and no byte
  // changed on the way in either direction.
  termios mode = {};
  if (tcgetattr(slave, &mode) != 0) return fail("tcgetattr");
  cfmakeraw(&mode);
  if (tcsetattr(slave, TCSANOW, &mode) != 0) return fail("tcsetattr");
  if (symlink(name, link_.c_str()) != 0) return fail("symlink " + link_);
  {
    std::lock_guard<std::mutex> lock(fdMutex_);
    master_ = master;
    slave_ = slave;
    slaveName_ = name;
    linked_ = true;
  }
  present_ = true;
  return true;
}

std::string PtyPrinter::SlaveName() const {
  std::lock_guard<std::mutex> lock(fdMutex_);
  return slaveName_;
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
  present_ = false;
  std::lock_guard<std::mutex> lock(fdMutex_);
  for (int *fd : {&master_, &slave_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (linked_) unlink(link_.c_str());
  linked_ = false;
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
  std::vector<unsigned char> buffer(options_.faults.intakeBytesPerSecond ? kIntakeReadBytes
                                                                         : 65536);
  while (!stopping_ && !gone_) {
    if (stalled_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kServePollMilliseconds));
      continue;
    }
    if (master_ < 0) {
      // Away for a restart: what had come before it is lost with the pty.
      pending.clear();
      ComeBack();
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
    while (!pending.empty() && master_ >= 0 && (end = PacketEnd(pending)) > 0) {
      Take(pending.data(), end);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
}

// Back on a new pty behind the same link once restartSeconds have passed, starting again as a
// printer does; a printer that never comes back only waits to be stopped.
void PtyPrinter::ComeBack() {
  const Clock::duration step = std::chrono::milliseconds(kServePollMilliseconds);
  const Clock::duration left = backAt_ - Clock::now();
  if (options_.faults.neverBack || left > Clock::duration::zero()) {
    std::this_thread::sleep_for(options_.faults.neverBack ? step : std::min(left, step));
    return;
  }
  Restarted(state_);
  if (options_.onBack) options_.onBack();
  std::string error;
  // Something else took the link's place meanwhile: as good as unplugged for good.
  if (!OpenPty(&error)) gone_ = true;
}

// Until the flash has taken bytes more at its intake rate; false when stopped first.
bool PtyPrinter::AwaitIntake(size_t bytes) {
  const Clock::time_point due = intake_.Due(bytes, Clock::now());
  while (!stopping_) {
    const Clock::duration left = due - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(left, std::chrono::milliseconds(kServePollMilliseconds)));
  }
  return false;
}

std::vector<std::string> PtyPrinter::ReplayReports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replayReports_;
}

std::string PtyPrinter::ReplaySummary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replay_ ? replay_->Summary() : std::string();
}

bool PtyPrinter::ReplayClean() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replay_ && replay_->Clean();
}

// As the recording says: its replies, each when it is due, or none for what differs from it.
void PtyPrinter::Replay(const unsigned char *bytes, size_t length) {
  const Clock::time_point arrived = Clock::now();
  std::vector<ReplayReply> replies;
  std::vector<std::string> reports;
  TransferKind kind;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    kind = replay_->Take(bytes, length, &replies, &reports);
    replayReports_.insert(replayReports_.end(), reports.begin(), reports.end());
    if (kind != TransferKind::kFirmware) packets_.emplace_back(bytes, bytes + length);
  }
  if (options_.onReplayReport) {
    for (const std::string &report : reports) options_.onReplayReport(report);
  }
  if (kind == TransferKind::kFirmware) {
    KeepFirmware(bytes, length);
    return;
  }
  for (const ReplayReply &reply : replies) {
    const Clock::time_point due = arrived + std::chrono::milliseconds(reply.delayMs);
    while (!stopping_ && Clock::now() < due) {
      std::this_thread::sleep_for(std::min<Clock::duration>(
          due - Clock::now(), std::chrono::milliseconds(kServePollMilliseconds)));
    }
    if (stopping_ || !Deliver(reply.block)) break;
  }
}

void PtyPrinter::Take(const unsigned char *bytes, size_t length) {
  if (replay_) {
    Replay(bytes, length);
    return;
  }
  const unsigned char *record = nullptr;
  int recordLength = 0;
  if (!SplitPacket(bytes, length, &record, &recordLength) &&
      !AwaitIntake(FirmwareBeforeRestart(state_, length))) {
    return;
  }
  std::vector<Transfer> replies;
  const unsigned long long before = state_.firmwareBytes;
  if (HandleTransfer(state_, bytes, length, &replies) == TransferKind::kFirmware) {
    KeepFirmware(bytes, static_cast<size_t>(state_.firmwareBytes - before));
    if (RestartDue(state_) && !gone_) {
      // Gone as if unplugged until it is back (Serve), the rest of what was sent with it lost.
      ++restarts_;
      backAt_ = Clock::now() + std::chrono::seconds(options_.faults.restartSeconds);
      CloseAll();
    }
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
