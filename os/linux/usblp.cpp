// The usblp driver's way to a printer on Linux: /dev/usb/lpN, a device that reads and writes raw
// transfers. Reads and writes never time out by themselves there, so reads wait in poll() with
// the engine's time-outs and a write that must end is woken by a signal aimed at its thread.
#include "os/linux/usblp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <mutex>

namespace {

// The usblp driver's ioctls (defined in the driver, not in a public header):
// _IOC(_IOC_READ, 'P', 2, 8) and _IOC(_IOC_WRITE, 'P', 3, 0).
constexpr unsigned long LPIOC_GET_PROTOCOLS = 0x80085002;
constexpr unsigned long LPIOC_SET_PROTOCOL = 0x40005003;
constexpr int kBidirectionalProtocol = 2;

// usblp's write submits its USB transfer and then waits for it interruptibly: a signal during
// that wait ends the call with EINTR although the transfer goes on and completes ("leave URB
// dangling"). So an interrupted write may well have reached the printer, and it is never
// repeated. The program keeps its signals away from the threads that write (korvex blocks them
// and takes them on a thread of its own); the one signal a write does get is this wake-up,
// aimed at the writing thread when its time is up or the connection is cancelled.
const int kWakeSignal = SIGURG;

void OnWake(int) {}

// The wake-up's handler interrupts system calls (no SA_RESTART), once for the whole program.
void InstallWakeHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action = {};
    action.sa_handler = OnWake;
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

// Interrupts a blocking write of one thread: when its time is up, or at once once the
// connection is cancelled, and again every kWakeRepeat until the write has returned (a wake-up
// that lands just before the write begins would otherwise be lost).
class WriteAlarm {
 public:
  ~WriteAlarm() { Release(); }

  // For a write of the calling thread: wakes it after milliseconds (never when negative).
  bool Arm(int milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    const pid_t thread = static_cast<pid_t>(syscall(SYS_gettid));
    if (made_ && thread_ != thread) ReleaseLocked();
    if (!made_) {
      sigevent event = {};
      event.sigev_notify = SIGEV_THREAD_ID;
      event.sigev_signo = kWakeSignal;
      event._sigev_un._tid = thread;  // sigev_notify_thread_id, which this glibc does not name
      if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) return false;
      made_ = true;
      thread_ = thread;
    }
    return SetLocked(firing_ ? 0 : milliseconds);
  }

  // The write has returned.
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (made_ && !firing_) SetLocked(-1);
  }

  // From any thread: wakes the writing thread now and keeps waking it.
  void Fire() {
    std::lock_guard<std::mutex> lock(mutex_);
    firing_ = true;
    if (made_) SetLocked(0);
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ReleaseLocked();
  }

 private:
  static constexpr long kWakeRepeatNanoseconds = 20 * 1000 * 1000;

  // milliseconds < 0: disarmed; 0: at once.
  bool SetLocked(int milliseconds) {
    itimerspec when = {};
    if (milliseconds >= 0) {
      when.it_value.tv_sec = milliseconds / 1000;
      when.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
      if (milliseconds == 0) when.it_value.tv_nsec = 1;
      when.it_interval.tv_nsec = kWakeRepeatNanoseconds;
    }
    return timer_settime(timer_, 0, &when, nullptr) == 0;
  }

  void ReleaseLocked() {
    if (made_) timer_delete(timer_);
    made_ = false;
  }

  std::mutex mutex_;
  timer_t timer_ = {};
  pid_t thread_ = 0;
  bool made_ = false;
  bool firing_ = false;  // cancelled: every write from now on is woken
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
    if (!alarm_.Arm(limit)) return Fail(TransportFailure::Other);
    bool done = true;
    while (*written < length) {
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
      break;
    }
    alarm_.Disarm();
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
  void Cancel() override {
    cancelled_ = 1;
    alarm_.Fire();
    if (cancel_[1] >= 0) {
      const char wake = 1;
      const ssize_t ignored = write(cancel_[1], &wake, 1);
      (void)ignored;
    }
  }

  void Close() override {
    alarm_.Release();
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
  WriteAlarm alarm_;
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
