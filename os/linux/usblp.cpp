// The usblp driver's way to a printer on Linux: /dev/usb/lpN, a device that reads and writes raw
// transfers. Reads and writes never time out by themselves there, so reads wait in poll() with
// the engine's time-outs and a write that must end is woken by a signal aimed at its thread.
#include "os/linux/usblp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The usblp driver's ioctls (defined in the driver, not in a public header):
// _IOC(_IOC_READ, 'P', 2, 8) and _IOC(_IOC_WRITE, 'P', 3, 0).
constexpr unsigned long LPIOC_GET_PROTOCOLS = 0x80085002;
constexpr unsigned long LPIOC_SET_PROTOCOL = 0x40005003;
constexpr int kBidirectionalProtocol = 2;
// usblp moves a write in transfers of its buffer, USBLP_BUF_SIZE: firmware is written in writes
// of that size, one transfer each, so that the bus waits for the program half as often as with
// writes of 4096 bytes; a write still returns only when its transfer is done, with its bytes.
constexpr uint32_t kUsblpWriteBytes = 8192;

// usblp's write submits its USB transfer and then waits for it interruptibly: a signal during
// that wait ends the call with EINTR although the transfer goes on and completes ("leave URB
// dangling"). So an interrupted write may well have reached the printer, and it is never
// repeated. The program keeps its signals away from the threads that write (korvex blocks them
// and takes them on a thread of its own); the one signal a write does get is this wake-up,
// aimed at the writing thread when its time is up or the connection is cancelled.
const int kWakeSignal = SIGURG;

// How many wake-ups this thread's handler has taken.
thread_local volatile sig_atomic_t wakeUps = 0;

void CountWakeUp(int) { wakeUps = wakeUps + 1; }

// The wake-up's handler interrupts system calls (no SA_RESTART), once for the whole program.
void InstallWakeHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action = {};
    action.sa_handler = CountWakeUp;
    sigemptyset(&action.sa_mask);
    sigaction(kWakeSignal, &action, nullptr);
  });
}

TransportFailure FailureOf(int error) {
  switch (error) {
    case EBUSY: return TransportFailure::Busy;
    case EACCES:
    case EPERM: return TransportFailure::NoAccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case EPIPE: return TransportFailure::Gone;
    default: return TransportFailure::Other;
  }
}

// Interrupts a blocking write when its time is up or the connection is cancelled. A watchdog
// thread looks at the write under way now and then and wakes its thread with kWakeSignal, again
// every 20 ms until the write has returned (a wake-up that lands just before the write begins
// would otherwise be lost). A write itself costs no system call, only a few atomic operations:
// firmware goes out in thousands of 4096-byte writes, and under a slow CPU two timer calls a
// write took a quarter of the time.
//
// A wake-up must reach only the write it was meant for: the watchdog marks that write as fired
// (one compare-and-swap against the writer's own "done"), signals only while it stays fired, and
// a writer that finds its write fired waits until every wake-up sent has been taken before it
// writes again.
class WriteWatch {
 public:
  ~WriteWatch() { Stop(); }

  // Before a write of the calling thread that must end within milliseconds (< 0: only when
  // cancelled). Returns the write's number for End.
  uint64_t Begin(int milliseconds) {
    const uint64_t number = ++writes_;
    writer_ = pthread_self();
    limitMs_ = milliseconds;
    startedNs_ = NowNs();
    takenBefore_ = wakeUps;
    state_.store(Writing(number), std::memory_order_release);
    if (milliseconds >= 0 && !started_) StartWatchdog();
    return number;
  }

  // The write has returned: true when the watchdog had fired at it (then its wake-ups have all
  // been taken before this returns).
  bool End(uint64_t number) {
    uint64_t expected = Writing(number);
    if (state_.compare_exchange_strong(expected, kIdle)) return false;
    int sent;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_.store(kIdle);
      sent = sent_;
    }
    while (wakeUps - takenBefore_ < sent) sched_yield();
    return true;
  }

  // From any thread: the write under way is woken now.
  void Fire() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (!started_) StartWatchdogLocked();
    changed_.notify_all();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (watchdog_.joinable()) watchdog_.join();
  }

 private:
  static constexpr uint64_t kIdle = 0;
  static constexpr uint64_t Writing(uint64_t number) { return number << 1; }
  static constexpr uint64_t Fired(uint64_t number) { return (number << 1) | 1; }
  static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void StartWatchdog() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) StartWatchdogLocked();
  }
  void StartWatchdogLocked() {
    started_ = true;
    watchdog_ = std::thread(&WriteWatch::Watch, this);
  }

  void Watch() {
    using std::chrono::milliseconds;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      const uint64_t state = state_.load(std::memory_order_acquire);
      if (state & 1) {
        // Fired: woken again and again until the writer has seen it.
        ++sent_;
        pthread_kill(writer_, kWakeSignal);
        changed_.wait_for(lock, milliseconds(20));
        continue;
      }
      const int limit = limitMs_;
      if (state != kIdle) {
        const int64_t due = cancelled_ ? 0 : startedNs_ + int64_t{limit} * 1000000;
        if ((cancelled_ || limit >= 0) && NowNs() >= due) {
          uint64_t expected = state;
          sent_ = 0;
          state_.compare_exchange_strong(expected, state | 1);
          continue;
        }
        if (limit < 0) {
          // A write that may take as long as it needs; the next one may have a limit.
          changed_.wait_for(lock, milliseconds(1000));
        } else {
          changed_.wait_for(lock, std::chrono::nanoseconds(due - NowNs()));
        }
        continue;
      }
      // Nothing under way: a write may begin any moment without a word, so look again within
      // a quarter of the last time allowed.
      changed_.wait_for(lock, milliseconds(limit > 200 ? limit / 4 : 50));
    }
  }

  std::atomic<uint64_t> state_{kIdle};
  std::atomic<uint64_t> writes_{0};
  std::atomic<pthread_t> writer_{};
  std::atomic<int> limitMs_{-1};
  std::atomic<int64_t> startedNs_{0};
  sig_atomic_t takenBefore_ = 0;  // the writer's own
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread watchdog_;
  bool started_ = false;
  bool stopping_ = false;
  bool cancelled_ = false;
  int sent_ = 0;  // wake-ups sent at the write fired last
};

class UsblpTransport : public PrinterTransport {
 public:
  explicit UsblpTransport(const std::string &node) : node_(node) { InstallWakeHandler(); }
  ~UsblpTransport() override { Close(); }

  bool Open(TransportMode mode) override {
    mode_ = mode;
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (node_.empty()) return Fail(TransportFailure::Gone);
    if (pipe2(cancel_, O_CLOEXEC | O_NONBLOCK) != 0) return Fail(TransportFailure::Other);
    // Writes block until the driver has carried them out, as usblp's blocking writes wait for
    // their USB transfers: so a write that failed is known to have failed, and the device is
    // never closed under a transfer (which would cancel it). Reads wait in poll() with the
    // engine's time-outs, the device made non-blocking for each.
    device_ = open(node_.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (device_ < 0) return Fail(FailureOf(errno));
    return true;
  }

  bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
             uint32_t *written) override {
    *written = 0;
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (device_ < 0) return Fail(TransportFailure::Gone);
    const int limit = mode_ == TransportMode::RequestReply && timeoutMs > 0
                          ? static_cast<int>(timeoutMs)
                          : -1;
    const uint64_t number = watch_.Begin(limit);
    bool done = true;
    // Cancelled just before the write began: the watchdog may not have seen it.
    if (cancelled_) {
      failure_ = TransportFailure::Cancelled;
      done = false;
    }
    while (done && *written < length) {
      const ssize_t n = write(device_, bytes + *written, length - *written);
      if (n > 0) {
        *written += static_cast<uint32_t>(n);
        continue;
      }
      const int error = n < 0 ? errno : EIO;
      // Never written again: see kWakeSignal.
      if (error == EINTR) {
        failure_ = cancelled_ ? TransportFailure::Cancelled
                   : limit >= 0 ? TransportFailure::TimedOut
                                : TransportFailure::Interrupted;
      } else {
        failure_ = FailureOf(error);
      }
      done = false;
    }
    watch_.End(number);
    // A time-out that struck in the last moment, with every byte taken, is no failure.
    if (done) failure_ = TransportFailure::None;
    return done;
  }

  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
            uint32_t *count) override {
    *count = 0;
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    const Deadline deadline(static_cast<int>(timeoutMs));
    for (;;) {
      if (!Wait(POLLIN, deadline)) return false;
      // Non-blocking for the read alone: what poll() saw may be gone, and a read must not wait
      // for ever. A read interrupted before it took anything is simply made again.
      const int flags = fcntl(device_, F_GETFL);
      fcntl(device_, F_SETFL, flags | O_NONBLOCK);
      ssize_t n;
      do {
        n = read(device_, buffer, capacity);
      } while (n < 0 && errno == EINTR);
      const int error = errno;
      fcntl(device_, F_SETFL, flags);
      if (n >= 0) {
        *count = static_cast<uint32_t>(n);
        return true;
      }
      if (error != EAGAIN) return Fail(FailureOf(error));
    }
  }

  // From another thread: the write under way is woken (and every later one), a wait in poll()
  // ends at the byte on the cancel pipe.
  // Firmware in writes of usblp's own transfer size: two pieces at a time.
  uint32_t PiecesInFlight() const override { return kUsblpWriteBytes / 4096; }

  bool WritePieces(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                   uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                   void *context) override {
    const uint32_t most = pieceBytes > 0 && pieceBytes < kUsblpWriteBytes
                              ? kUsblpWriteBytes / pieceBytes * pieceBytes
                              : pieceBytes;
    if (most == 0) return Fail(TransportFailure::Other);
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t now = std::min(most, length - offset);
      uint32_t written = 0;
      const bool wrote = Write(bytes + offset, now, stallMs, &written);
      offset += written;
      const bool goOn = written == 0 || onTaken(context, written);
      if (!wrote) return false;
      if (!goOn && offset < length) return false;
    }
    return true;
  }

  void Cancel() override {
    cancelled_ = 1;
    watch_.Fire();
    if (cancel_[1] >= 0) {
      const char wake = 1;
      const ssize_t ignored = write(cancel_[1], &wake, 1);
      (void)ignored;
    }
  }

  void Close() override {
    watch_.Stop();
    for (int *fd : {&device_, &cancel_[0], &cancel_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  TransportFailure LastFailure() const override { return failure_; }

 private:
  struct Deadline {
    explicit Deadline(int milliseconds)
        : forever(milliseconds < 0),
          at(std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds)) {}
    // Milliseconds left for poll(): -1 waits for ever.
    int Left() const {
      if (forever) return -1;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          at - std::chrono::steady_clock::now());
      return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    bool forever;
    std::chrono::steady_clock::time_point at;
  };

  bool Fail(TransportFailure failure) {
    failure_ = failure;
    return false;
  }

  // Until the device is ready for events; false when the time is up or the connection is
  // cancelled. A device that went away reports an error here, which the read then turns into
  // a failure.
  bool Wait(short events, const Deadline &deadline) {
    for (;;) {
      if (cancelled_) return Fail(TransportFailure::Cancelled);
      pollfd waits[2] = {{device_, events, 0}, {cancel_[0], POLLIN, 0}};
      const int ready = poll(waits, 2, deadline.Left());
      if (ready < 0 && errno == EINTR) continue;
      if (cancelled_ || (ready > 0 && (waits[1].revents & POLLIN))) {
        return Fail(TransportFailure::Cancelled);
      }
      if (ready == 0) return Fail(TransportFailure::TimedOut);
      if (ready < 0 || (waits[0].revents & POLLNVAL)) return Fail(TransportFailure::Other);
      if (waits[0].revents & (events | POLLERR | POLLHUP)) return true;
    }
  }

  std::string node_;
  TransportMode mode_ = TransportMode::RequestReply;
  int device_ = -1;
  int cancel_[2] = {-1, -1};
  std::atomic<int> cancelled_{0};
  WriteWatch watch_;
  TransportFailure failure_ = TransportFailure::None;
};

}  // namespace

TransportFailure UsblpFailureOf(int error) { return FailureOf(error); }

std::unique_ptr<PrinterTransport> NewUsblpTransport(const std::string &node) {
  return std::unique_ptr<PrinterTransport>(new UsblpTransport(node));
}

// usblp takes only the unidirectional, bidirectional and IEEE 1284.4 protocols of a printer
// interface, never IPP over USB, and prefers the bidirectional one; the switch Windows needs
// back from IPP mode has no counterpart here. What can happen is an interface bound to another
// protocol than the bidirectional one it also offers (the driver's proto_bias): it is switched,
// as the reply reads need. A device that does not know the ioctls keeps its protocol.
int SwitchUsblpToBidirectional(const std::string &node) {
  const int device = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (device < 0) return 1;
  int protocols[2] = {0, 0};  // the current protocol, a bit for each one the interface offers
  if (ioctl(device, LPIOC_GET_PROTOCOLS, protocols) == 0 &&
      protocols[0] != kBidirectionalProtocol && (protocols[1] & (1 << kBidirectionalProtocol))) {
    ioctl(device, LPIOC_SET_PROTOCOL, static_cast<unsigned long>(kBidirectionalProtocol));
  }
  close(device);
  return 0;
}
