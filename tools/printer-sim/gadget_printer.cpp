// korvex-gadget-printer: the printer side of a USB printer gadget (the kernel's usb_f_printer
// function, /dev/g_printerN), answering with the simulated printers' logic (printer_logic.h).
// The host side is a real usblp device, /dev/usb/lpN, so korvex meets the kernel's own driver;
// the kernel tests run both ends in one virtual machine. What it receives is kept in files for
// the tests to compare byte for byte.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packet_stream.h"
#include "printer_logic.h"

namespace {

const char kUsage[] =
    "usage: korvex-gadget-printer --device /dev/g_printerN --record DIR [--family 1|2]\n"
    "                             [--version-text-bytes N] [--silent] [--stray N]\n"
    "                             [--unplug-after BYTES --udc GADGET/UDC] [--rate BYTES_PER_S]\n"
    "  Answers the host's packets on the gadget's printer device as a family-2 printer (an\n"
    "  Orbis 300) or a family-1 one (a KL-1020); the USB ids are the gadget's. Keeps in DIR:\n"
    "  packets (every command packet's bytes, in order), firmware (every firmware byte) and log\n"
    "  (a line per packet or piece of firmware). --version-text-bytes makes the version text\n"
    "  that long; --silent answers nothing; --stray sends N other blocks before each reply;\n"
    "  --unplug-after takes that many firmware bytes, then unplugs the gadget by writing an\n"
    "  empty line to its UDC file; --rate takes firmware no faster than that, as a printer's\n"
    "  flash does. Ends when the gadget is unplugged, or on SIGTERM.\n";

// The host configures the gadget a moment after it is plugged in; until then the device
// refuses to open (ENODEV).
constexpr int kOpenAttempts = 300;
constexpr useconds_t kOpenPauseMicroseconds = 100000;
// Pieces of firmware taken at a time under --rate, so that the intake is even.
constexpr size_t kRatedReadBytes = 4096;

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int OpenRecord(const std::string &directory, const char *name) {
  const std::string path = directory + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::perror(path.c_str());
  return fd;
}

void Log(int fd, const std::string &line) {
  const std::string text = line + "\n";
  WriteAll(fd, reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

struct Options {
  std::string device, record, udc;
  PrinterIdentity identity;
  PrinterFaults faults;
  long long unplugAfter = -1;
  double rate = 0;  // firmware bytes per second; 0 as fast as the host sends
};

// The printer at work: the device, its state, and the files it keeps.
class GadgetPrinter {
 public:
  GadgetPrinter(const Options &options, int device)
      : options_(options), device_(device), state_(NewPrinterState(options.identity,
                                                                   options.faults)) {}

  bool OpenRecords() {
    packets_ = OpenRecord(options_.record, "packets");
    firmware_ = OpenRecord(options_.record, "firmware");
    log_ = OpenRecord(options_.record, "log");
    return packets_ >= 0 && firmware_ >= 0 && log_ >= 0;
  }

  // Until the gadget goes away (unplugged by the host's side or by the fault) or a read fails.
  void Serve() {
    std::vector<unsigned char> pending;
    std::vector<unsigned char> buffer(65536);
    while (!unplugged_) {
      const size_t wanted = options_.rate > 0 ? kRatedReadBytes : buffer.size();
      const ssize_t n = read(device_, buffer.data(), wanted);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Log(log_, std::string("read: ") + (n == 0 ? "end" : std::strerror(errno)));
        return;
      }
      pending.insert(pending.end(), buffer.data(), buffer.data() + n);
      size_t end;
      while (!pending.empty() && !unplugged_ && (end = PacketEnd(pending)) > 0) {
        Take(pending.data(), end);
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end));
      }
    }
  }

 private:
  void Take(const unsigned char *bytes, size_t length) {
    std::vector<Transfer> replies;
    const TransferKind kind = HandleTransfer(state_, bytes, length, &replies);
    if (kind == TransferKind::kFirmware) {
      KeepFirmware(bytes, length);
      return;
    }
    WriteAll(packets_, bytes, length);
    Log(log_, DescribeTransfer(kind, state_, length));
    // One write is one USB transfer to the host: usblp hands each to a read of its own.
    for (const Transfer &block : replies) {
      if (write(device_, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        Log(log_, std::string("write: ") + std::strerror(errno));
        return;
      }
    }
  }

  void KeepFirmware(const unsigned char *bytes, size_t length) {
    const long long limit = options_.unplugAfter;
    bool unplug = false;
    if (limit >= 0 && taken_ + static_cast<long long>(length) >= limit) {
      length = static_cast<size_t>(limit - taken_);
      unplug = true;
    }
    if (taken_ == 0) started_ = Now();
    WriteAll(firmware_, bytes, length);
    taken_ += static_cast<long long>(length);
    Log(log_, "firmware (" + std::to_string(length) + " bytes), " + std::to_string(taken_) +
                  " in all");
    if (unplug) {
      Unplug();
      return;
    }
    if (options_.rate > 0) {
      // Not before the time the bytes so far take at the rate.
      const double due = started_ + static_cast<double>(taken_) / options_.rate;
      const double wait = due - Now();
      if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    }
  }

  // As a printer pulled from the cable: the gadget leaves the bus.
  void Unplug() {
    const int udc = open(options_.udc.c_str(), O_WRONLY | O_CLOEXEC);
    const bool done = udc >= 0 && write(udc, "\n", 1) == 1;
    if (udc >= 0) close(udc);
    Log(log_, done ? "unplugged" : "unplug: " + std::string(std::strerror(errno)));
    unplugged_ = true;
  }

  Options options_;
  int device_;
  PrinterState state_;
  int packets_ = -1, firmware_ = -1, log_ = -1;
  long long taken_ = 0;
  double started_ = 0;
  bool unplugged_ = false;
};

bool ParseOptions(int argc, char **argv, Options *options) {
  size_t versionBytes = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--device" && hasValue) {
      options->device = argv[++i];
    } else if (argument == "--record" && hasValue) {
      options->record = argv[++i];
    } else if (argument == "--udc" && hasValue) {
      options->udc = argv[++i];
    } else if (argument == "--family" && hasValue) {
      const std::string family = argv[++i];
      if (family == "1") {
        options->identity = Kl1020Identity();
      } else if (family != "2") {
        return false;
      }
    } else if (argument == "--version-text-bytes" && hasValue) {
      versionBytes = std::strtoul(argv[++i], nullptr, 10);
    } else if (argument == "--silent") {
      options->faults.silent = true;
    } else if (argument == "--stray" && hasValue) {
      options->faults.strayBlocks = std::atoi(argv[++i]);
    } else if (argument == "--unplug-after" && hasValue) {
      options->unplugAfter = std::atoll(argv[++i]);
    } else if (argument == "--rate" && hasValue) {
      options->rate = std::atof(argv[++i]);
    } else {
      return false;
    }
  }
  if (versionBytes > 0) LengthenVersionText(&options->identity, versionBytes);
  return !options->device.empty() && !options->record.empty() &&
         (options->unplugAfter < 0 || !options->udc.empty());
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  int device = -1;
  for (int attempt = 0; attempt < kOpenAttempts && device < 0; ++attempt) {
    device = open(options.device.c_str(), O_RDWR | O_CLOEXEC);
    if (device < 0 && errno != ENODEV && errno != ENOENT) break;
    if (device < 0) usleep(kOpenPauseMicroseconds);
  }
  if (device < 0) {
    std::perror(options.device.c_str());
    return 1;
  }
  GadgetPrinter printer(options, device);
  if (!printer.OpenRecords()) return 1;
  printer.Serve();
  close(device);
  return 0;
}
