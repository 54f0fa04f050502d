// The Linux backend: the printers of the usblp driver, found in sysfs (/sys/class/usbmisc/lpN
// and its USB device's idVendor, idProduct and serial) and opened as /dev/usb/lpN, a device that
// reads and writes raw transfers. Reads and writes never time out by themselves there, so the
// device is opened non-blocking and every wait is a poll() with the engine's time-out.
// KORVEX_SYSFS and KORVEX_DEV select another sysfs root and device root, for tests.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "device/transport.h"

namespace {

// The usblp driver's ioctls (defined in the driver, not in a public header):
// _IOC(_IOC_READ, 'P', 2, 8) and _IOC(_IOC_WRITE, 'P', 3, 0).
constexpr unsigned long LPIOC_GET_PROTOCOLS = 0x80085002;
constexpr unsigned long LPIOC_SET_PROTOCOL = 0x40005003;
constexpr int kBidirectionalProtocol = 2;

constexpr char kInterfaceGuid[] = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string Root(const char *variable, const char *fallback) {
  const char *value = std::getenv(variable);
  return value != nullptr && value[0] != 0 ? value : fallback;
}

std::string SysfsRoot() { return Root("KORVEX_SYSFS", "/sys"); }
std::string DeviceRoot() { return Root("KORVEX_DEV", "/dev"); }

// The first line of a sysfs attribute, or empty.
std::string ReadValue(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return std::string();
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

bool IsHexId(const std::string &id) {
  return id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::wstring Widen(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The device path of a printer: the form of a Windows USB printer interface path, with the
// vendor and product digits where discovery reads them, and a name from the serial number that
// stands between '#' delimiters: only plain characters, and not too many of them.
std::string DevicePath(const std::string &vid, const std::string &pid, const std::string &name) {
  return "\\\\?\\usb#vid_" + vid + "&pid_" + pid + "#" + name + "#" + kInterfaceGuid;
}

std::string SerialName(const std::string &serial) {
  std::string name = Lower(serial);
  for (char &c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                       c == '-';
    if (!plain) c = '_';
  }
  return name.substr(0, 64);
}

bool Admitted(const std::string &vid, const std::string &pid) {
  return AdmitsDevicePath(Widen(DevicePath(vid, pid, "x")).c_str());
}

// lpN entries of a directory, in the kernel's order (by N).
std::vector<std::string> PrinterNames(const std::string &directory) {
  std::vector<std::pair<long, std::string>> found;
  if (DIR *dir = opendir(directory.c_str())) {
    while (dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() < 3 || name.compare(0, 2, "lp") != 0) continue;
      if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      found.emplace_back(std::strtol(name.c_str() + 2, nullptr, 10), name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (const auto &entry : found) names.push_back(entry.second);
  return names;
}

std::string UserName() {
  if (const passwd *user = getpwuid(getuid())) return user->pw_name;
  return "$USER";
}

struct ListedPrinter {
  std::wstring devicePath;
  PrinterPortInfo info;
};

// What the last listing found; a connection is opened through it, as Wine's DOS device names
// lead from a device path to /dev/usb/lpN. Several printers' threads list and connect at once
// (a printer that restarts is looked for while the others take their firmware).
std::mutex listingMutex;
std::vector<ListedPrinter> listed;
std::vector<LeftOutPrinter> leftOut;

// A copy of what the last listing found at the device path; false when it found nothing there.
bool FindListed(const wchar_t *devicePath, ListedPrinter *found) {
  std::lock_guard<std::mutex> lock(listingMutex);
  for (const ListedPrinter &printer : listed) {
    if (printer.devicePath == devicePath) {
      *found = printer;
      return true;
    }
  }
  return false;
}

// ---- A printer's connection ------------------------------------------------------------------

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
  explicit UsblpTransport(const wchar_t *devicePath) {
    ListedPrinter printer;
    if (FindListed(devicePath, &printer)) node_ = printer.info.node;
    InstallWakeHandler();
  }
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

// ---- Why nothing is listed -----------------------------------------------------------------------

bool IppUsbRuns() {
  DIR *proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (dirent *entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (ReadValue(std::string("/proc/") + entry->d_name + "/comm") == "ipp-usb") {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

std::string Basename(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<PrinterTransport> NewPrinterTransport(const wchar_t *devicePath) {
  return std::unique_ptr<PrinterTransport>(new UsblpTransport(devicePath));
}

bool EnumeratePrinterInterfaces(bool (*visit)(void *context, const wchar_t *devicePath),
                                void *context) {
  std::vector<ListedPrinter> listed;
  std::vector<LeftOutPrinter> leftOut;
  const std::string sysfs = SysfsRoot();
  const std::string classDirectory = sysfs + "/class/usbmisc";
  std::set<std::string> names;
  for (const std::string &lp : PrinterNames(classDirectory)) {
    // lpN/device is the USB interface; its parent directory is the USB device.
    char resolved[PATH_MAX];
    std::string usb;
    if (realpath((classDirectory + "/" + lp + "/device").c_str(), resolved) != nullptr) {
      usb = resolved;
      usb = usb.substr(0, usb.rfind('/'));
    }
    const std::string vid = Lower(ReadValue(usb + "/idVendor"));
    const std::string pid = Lower(ReadValue(usb + "/idProduct"));
    if (usb.empty() || !IsHexId(vid) || !IsHexId(pid)) {
      leftOut.push_back({lp, "no USB vendor and product id found for it in " + sysfs});
      continue;
    }
    const std::string serial = ReadValue(usb + "/serial");
    std::string name = SerialName(serial);
    if (name.empty()) name = lp;
    if (names.count(name)) name += "_" + lp;
    if (!Admitted(vid, pid)) {
      leftOut.push_back({lp, vid + ":" + pid + " is not a printer this program works with"});
      continue;
    }
    const std::string node = DeviceRoot() + "/usb/" + lp;
    struct stat status;
    if (stat(node.c_str(), &status) != 0) {
      leftOut.push_back({lp, vid + ":" + pid + " has no device file " + node});
      continue;
    }
    if (access(node.c_str(), R_OK | W_OK) != 0) {
      const group *owner = getgrgid(status.st_gid);
      const std::string groupName = owner ? owner->gr_name : "lp";
      leftOut.push_back({lp, vid + ":" + pid + ": you may not read and write " + node +
                                 "; it belongs to the group " + groupName + ": sudo usermod -aG " +
                                 groupName + " " + UserName() + ", then log out and back in"});
      continue;
    }
    names.insert(name);
    const std::wstring devicePath = Widen(DevicePath(vid, pid, name));
    listed.push_back({devicePath, {lp, serial, node, Basename(usb)}});
  }
  {
    std::lock_guard<std::mutex> lock(listingMutex);
    ::listed = listed;
    ::leftOut = leftOut;
  }
  for (const ListedPrinter &printer : listed) {
    if (!visit(context, printer.devicePath.c_str())) break;
  }
  return true;
}

// usblp takes only the unidirectional, bidirectional and IEEE 1284.4 protocols of a printer
// interface, never IPP over USB, and prefers the bidirectional one; the switch Windows needs
// back from IPP mode has no counterpart here. What can happen is an interface bound to another
// protocol than the bidirectional one it also offers (the driver's proto_bias): it is switched,
// as the reply reads need. A device that does not know the ioctls keeps its protocol.
int SwitchToBidirectionalProtocol(const wchar_t *devicePath) {
  ListedPrinter printer;
  if (!FindListed(devicePath, &printer)) return 1;
  const int device = open(printer.info.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (device < 0) return 1;
  int protocols[2] = {0, 0};  // the current protocol, a bit for each one the interface offers
  if (ioctl(device, LPIOC_GET_PROTOCOLS, protocols) == 0 &&
      protocols[0] != kBidirectionalProtocol && (protocols[1] & (1 << kBidirectionalProtocol))) {
    ioctl(device, LPIOC_SET_PROTOCOL, static_cast<unsigned long>(kBidirectionalProtocol));
  }
  close(device);
  return 0;
}

TransportFailure ProbePrinter(const wchar_t *devicePath) {
  UsblpTransport probe(devicePath);
  if (!probe.Open(TransportMode::RequestReply)) return probe.LastFailure();
  probe.Close();
  return TransportFailure::None;
}

PrinterPortInfo DescribePrinterInterface(const wchar_t *devicePath) {
  ListedPrinter printer;
  return FindListed(devicePath, &printer) ? printer.info : PrinterPortInfo();
}

std::vector<LeftOutPrinter> LeftOutPrinters() {
  std::lock_guard<std::mutex> lock(listingMutex);
  return leftOut;
}

std::string WhyNoPrinterIsListed() {
  const std::string sysfs = SysfsRoot();
  const bool moduleLoaded = access((sysfs + "/module/usblp").c_str(), F_OK) == 0;
  // Each reason holds the printer it was seen on.
  std::string printer, held, ippOnly, unbound;
  const std::string devices = sysfs + "/bus/usb/devices";
  if (DIR *dir = opendir(devices.c_str())) {
    std::vector<std::string> entries;
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.') entries.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end());
    for (const std::string &deviceName : entries) {
      const std::string device = devices + "/" + deviceName;
      const std::string vid = Lower(ReadValue(device + "/idVendor"));
      const std::string pid = Lower(ReadValue(device + "/idProduct"));
      if (vid.empty() || !Admitted(vid, pid)) continue;
      printer = vid + ":" + pid;
      std::string protocols;
      if (DIR *interfaces = opendir(device.c_str())) {
        while (dirent *entry = readdir(interfaces)) {
          const std::string name = entry->d_name;
          if (name.compare(0, deviceName.size() + 1, deviceName + ":") != 0) continue;
          const std::string interface = device + "/" + name;
          if (ReadValue(interface + "/bInterfaceClass") != "07") continue;
          const std::string protocol = ReadValue(interface + "/bInterfaceProtocol");
          protocols += " " + protocol;
          char target[PATH_MAX];
          const ssize_t n = readlink((interface + "/driver").c_str(), target, sizeof target - 1);
          const std::string driver = n > 0 ? Basename(std::string(target, static_cast<size_t>(n)))
                                           : std::string();
          if (driver == "usbfs") held = printer;  // claimed through libusb
          if (driver.empty() && protocol != "04") unbound = printer;
        }
        closedir(interfaces);
      }
      const bool usblpProtocol = protocols.find("01") != std::string::npos ||
                                 protocols.find("02") != std::string::npos ||
                                 protocols.find("03") != std::string::npos;
      if (!protocols.empty() && !usblpProtocol) ippOnly = printer;
    }
  }
  const std::string start =
      "(at every start: echo usblp | sudo tee /etc/modules-load.d/usblp.conf)";
  if (!held.empty()) {
    const std::string who = IppUsbRuns() ? "the IPP-over-USB daemon ipp-usb, which is running"
                                         : "most likely the IPP-over-USB daemon ipp-usb";
    return "the printer " + held +
           " is connected, but a program holds its printer interface through\n"
           "  libusb, so the usblp driver cannot have it: " + who + ". Free it:\n"
           "  sudo systemctl stop ipp-usb (to keep it off: sudo systemctl disable ipp-usb, or\n"
           "  sudo apt-get remove ipp-usb), then unplug the printer and plug it in again.\n"
           "  (A CUPS print queue on this printer holds it only while it prints.)";
  }
  if (!printer.empty() && !moduleLoaded) {
    return "the printer " + printer + " is connected, but the usblp kernel module is not loaded:\n"
           "  sudo modprobe usblp " + start + ".\n"
           "  If no printer appears then, see whether it is blacklisted: grep -r usblp "
           "/etc/modprobe.d";
  }
  if (!ippOnly.empty()) {
    return "the printer " + ippOnly +
           " is connected, but it offers only IPP over USB, which the usblp driver\n"
           "  does not take; see \"Printers that start in IPP mode\" in the README";
  }
  if (!unbound.empty()) {
    return "the printer " + unbound +
           " is connected, but the usblp driver has not taken its printer\n"
           "  interface: unplug it and plug it in again";
  }
  if (!moduleLoaded) {
    return "no printer found, and the usblp kernel module is not loaded: sudo modprobe usblp\n"
           "  " + start;
  }
  return "no Korvex printer found: connect it by USB and switch it on";
}
