// korvex-gadget-printer: the printer side of a USB printer gadget (the kernel's usb_f_printer
// function, /dev/g_printerN, or a FunctionFS instance), answering with the simulated printers'
// logic (printer_logic.h). The host side is a real usblp device, /dev/usb/lpN, or usbfs, so
// korvex meets the kernel's own drivers; the kernel tests run both ends in one virtual machine.
// What it receives is kept in files for the tests to compare byte for byte.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "functionfs_port.h"
#include "packet_stream.h"
#include "printer_logic.h"
#include "replay.h"

namespace {

const char kUsage[] =
    "usage: korvex-gadget-printer (--device /dev/g_printerN | --functionfs DIR) --record DIR\n"
    "                             [--family 1|2] [--version-text-bytes N] [--silent] [--stray N]\n"
    "                             [--unplug-after BYTES --udc GADGET/UDC] [--rate BYTES_PER_S]\n"
    "                             [--restart-after BYTES --udc GADGET/UDC [--install-ms MS]\n"
    "                              [--restart-ms MS] [--firmware-after VERSION]]\n"
    "                             [--replay FILE]\n"
    "  Answers the host's packets on the gadget's printer device as a family-2 printer (an\n"
    "  Orbis 300) or a family-1 one (a KL-1020); the USB ids are the gadget's. Keeps in DIR:\n"
    "  packets (every command packet's bytes, in order), firmware (every firmware byte) and log\n"
    "  (a line per packet or piece of firmware). --functionfs makes the printer interface itself\n"
    "  on the FunctionFS instance mounted at DIR (plug the gadget in once DIR/ep1 is there): no\n"
    "  zero-length packet after a reply that fills its last packet, and any number of printers.\n"
    "  --version-text-bytes makes the version text that long; --silent answers nothing; --stray\n"
    "  sends N other blocks before each reply; --unplug-after takes that many firmware bytes,\n"
    "  then unplugs the gadget by writing an empty line to its UDC file; --rate takes firmware no\n"
    "  faster than that, as a printer's flash does; --restart-after takes that many firmware\n"
    "  bytes, --install-ms later (default 0) leaves the bus for --restart-ms (default 3000) and\n"
    "  comes back reporting --firmware-after as its version (/dev/g_printerN only).\n"
    "  --replay FILE answers as the recording FILE says (korvex --record) instead: each\n"
    "  request must be the next one recorded and gets its recorded replies; what differs is\n"
    "  logged with the recording's line and not answered, and DIR/replay holds the summary\n"
    "  (\"replay: N of N requests as recorded, 0 differed\" when all went as recorded). The\n"
    "  gadget's USB ids should be the recording's. Ends when the gadget is unplugged, or on\n"
    "  SIGTERM.\n";

// The IEEE 1284 device id of a FunctionFS printer, the one the tests give their printer gadgets.
const char kDeviceId[] = "MFG:Korvex;CMD:PJL;CLS:PRINTER;";

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
  std::string device, functionfs, record, udc, replay;
  std::shared_ptr<const Recording> recording;
  PrinterIdentity identity;
  PrinterFaults faults;
  long long unplugAfter = -1;
  double rate = 0;  // firmware bytes per second; 0 as fast as the host sends
  unsigned installMilliseconds = 0;  // from the firmware it restarts after to the restart
  unsigned restartMilliseconds = 3000;
};

// The printer function's device, once the host has configured the gadget; -1 when it does not
// open within the attempts.
int OpenDevice(const std::string &path) {
  int device = -1;
  for (int attempt = 0; attempt < kOpenAttempts && device < 0; ++attempt) {
    device = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (device < 0 && errno != ENODEV && errno != ENOENT) break;
    if (device < 0) usleep(kOpenPauseMicroseconds);
  }
  if (device < 0) std::perror(path.c_str());
  return device;
}

// Writes text to a gadget's UDC file: a controller's name plugs the gadget in, an empty line
// unplugs it.
bool WriteUdc(const std::string &udc, const std::string &text) {
  const int fd = open(udc.c_str(), O_WRONLY | O_CLOEXEC);
  const bool done =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return done;
}

// The printer at work: the device, its state, and the files it keeps.
class GadgetPrinter {
 public:
  // in and out are the same device for the printer function, two endpoints for FunctionFS
  // (port, whose unplug ends the printer).
  GadgetPrinter(const Options &options, int in, int out, const FunctionFsPort *port)
      : options_(options), in_(in), out_(out), port_(port),
        state_(NewPrinterState(options.identity, options.faults)),
        replay_(options.recording ? new ReplayEngine(*options.recording) : nullptr) {}

  void Attach(int in, int out) {
    in_ = in;
    out_ = out;
  }

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
      const ssize_t n = read(out_, buffer.data(), wanted);
      if (n < 0 && errno == EINTR) continue;
      // FunctionFS ends a read when the endpoint is disabled: the gadget was unplugged, or the
      // host chose the interface's setting again, after which the printer goes on.
      if (n < 0 && errno == ESHUTDOWN && port_ != nullptr && !port_->Unbound()) continue;
      if (n <= 0) {
        Log(log_, std::string("read: ") + (n == 0 ? "end" : std::strerror(errno)));
        return;
      }
      pending.insert(pending.end(), buffer.data(), buffer.data() + n);
      size_t end;
      while (!pending.empty() && !unplugged_ && (end = PacketEnd(pending)) > 0) {
        const bool restarts = Take(pending.data(), end);
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end));
        if (restarts) {
          // Whatever else had come is lost with the restart.
          pending.clear();
          if (!Restart()) return;
        }
      }
    }
  }

 private:
  // As the recording says: its replies, each when it is due, or none for what differs from it;
  // the summary so far in DIR/replay after every transfer.
  void Replay(const unsigned char *bytes, size_t length) {
    const double arrived = Now();
    std::vector<ReplayReply> replies;
    std::vector<std::string> reports;
    const TransferKind kind = replay_->Take(bytes, length, &replies, &reports);
    for (const std::string &report : reports) {
      Log(log_, report);
      std::fprintf(stderr, "korvex-gadget-printer: %s\n", report.c_str());
    }
    if (kind == TransferKind::kFirmware) {
      KeepFirmware(bytes, length);
    } else {
      WriteAll(packets_, bytes, length);
      Log(log_, (kind == TransferKind::kCommand ? "as recorded (" : "not as recorded (") +
                    std::to_string(length) + " bytes)");
    }
    for (const ReplayReply &reply : replies) {
      const double wait = arrived + reply.delayMs / 1000.0 - Now();
      if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
      if (write(in_, reply.block.data(), reply.block.size()) !=
          static_cast<ssize_t>(reply.block.size())) {
        Log(log_, std::string("write: ") + std::strerror(errno));
        break;
      }
    }
    const std::string summary = replay_->Summary() + "\n";
    const int fd = OpenRecord(options_.record, "replay");
    if (fd >= 0) {
      WriteAll(fd, reinterpret_cast<const unsigned char *>(summary.data()), summary.size());
      close(fd);
    }
  }

  // True when the printer restarts now, having taken the firmware it restarts after.
  bool Take(const unsigned char *bytes, size_t length) {
    if (replay_) {
      Replay(bytes, length);
      return false;
    }
    std::vector<Transfer> replies;
    const unsigned long long before = state_.firmwareBytes;
    const TransferKind kind = HandleTransfer(state_, bytes, length, &replies);
    if (kind == TransferKind::kFirmware) {
      KeepFirmware(bytes, static_cast<size_t>(state_.firmwareBytes - before));
      return !unplugged_ && RestartDue(state_);
    }
    WriteAll(packets_, bytes, length);
    Log(log_, DescribeTransfer(kind, state_, length));
    // One write is one USB transfer to the host: usblp hands each to a read of its own.
    for (const Transfer &block : replies) {
      if (write(in_, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        Log(log_, std::string("write: ") + std::strerror(errno));
        break;
      }
    }
    return false;
  }

  void KeepFirmware(const unsigned char *bytes, size_t length) {
    const long long limit = options_.unplugAfter;
    bool unplug = false;
    if (limit >= 0 && taken_ + static_cast<long long>(length) >= limit) {
      // Through FunctionFS the device takes bytes from the host only into the reads the printer
      // makes: all it read is what the host's transfers put into it, and is kept, so that what
      // the host counts as sent can be held against it. The kernel's printer function queues
      // transfers of its own, beyond what the printer reads; there it takes exactly the limit.
      if (port_ == nullptr) length = static_cast<size_t>(limit - taken_);
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
    const bool done = WriteUdc(options_.udc, "\n");
    Log(log_, done ? "unplugged" : "unplug: " + std::string(std::strerror(errno)));
    unplugged_ = true;
  }

  // As a printer that installs its firmware and starts again: installMilliseconds after the
  // last byte the gadget leaves the bus and, restartMilliseconds later, is plugged into the same
  // controller again, where the host enumerates it anew. False when it does not come back.
  // Leaving at once is not what a printer does, and it would fail the host's last write: usblp
  // fails a write whose printer has gone, even when the write's own transfer was done.
  bool Restart() {
    usleep(static_cast<useconds_t>(options_.installMilliseconds) * 1000);
    std::string controller;
    const int udc = open(options_.udc.c_str(), O_RDONLY | O_CLOEXEC);
    char name[64] = {};
    if (udc >= 0 && read(udc, name, sizeof name - 1) > 0) controller = name;
    if (udc >= 0) close(udc);
    while (!controller.empty() && controller.back() == '\n') controller.pop_back();
    Log(log_, "restarting after " + std::to_string(state_.firmwareSinceStart) +
                  " firmware bytes: away for " + std::to_string(options_.restartMilliseconds) +
                  " ms");
    if (controller.empty() || !WriteUdc(options_.udc, "\n")) {
      Log(log_, "restart: cannot unplug the gadget");
      return false;
    }
    const double away = Now();
    close(in_);
    in_ = out_ = -1;
    usleep(static_cast<useconds_t>(options_.restartMilliseconds) * 1000);
    if (!WriteUdc(options_.udc, controller + "\n")) {
      Log(log_, "restart: cannot plug the gadget into " + controller + " again");
      return false;
    }
    Restarted(state_);
    in_ = out_ = OpenDevice(options_.device);
    // How long the host had no printer: until it has configured the gadget again.
    const long long gone = static_cast<long long>((Now() - away) * 1000);
    Log(log_, in_ < 0 ? "restart: the device does not open again"
                      : "back after " + std::to_string(gone) + " ms, firmware " +
                            state_.identity.firmwareVersion);
    return in_ >= 0;
  }

  Options options_;
  int in_, out_;
  const FunctionFsPort *port_;
  PrinterState state_;
  std::unique_ptr<ReplayEngine> replay_;
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
    } else if (argument == "--functionfs" && hasValue) {
      options->functionfs = argv[++i];
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
    } else if (argument == "--restart-after" && hasValue) {
      options->faults.restartAfter = std::atoll(argv[++i]);
    } else if (argument == "--install-ms" && hasValue) {
      options->installMilliseconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (argument == "--restart-ms" && hasValue) {
      options->restartMilliseconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (argument == "--firmware-after" && hasValue) {
      options->faults.firmwareAfterRestart = argv[++i];
    } else if (argument == "--replay" && hasValue) {
      options->replay = argv[++i];
    } else {
      return false;
    }
  }
  if (versionBytes > 0) LengthenVersionText(&options->identity, versionBytes);
  const bool restarts = options->faults.restartAfter >= 0;
  return options->device.empty() != options->functionfs.empty() && !options->record.empty() &&
         (options->unplugAfter < 0 || !options->udc.empty()) &&
         (!restarts || (!options->udc.empty() && !options->device.empty()));
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!options.replay.empty()) {
    auto recording = std::make_shared<Recording>();
    std::string error;
    if (!LoadReplay(options.replay, recording.get(), &error)) {
      std::fprintf(stderr, "korvex-gadget-printer: %s\n", error.c_str());
      return 1;
    }
    options.recording = recording;
  }
  if (!options.functionfs.empty()) {
    // Its records first: the tests plug the gadget in once the endpoints are there.
    FunctionFsPort port;
    GadgetPrinter printer(options, -1, -1, &port);
    if (!printer.OpenRecords()) return 1;
    if (!port.Start(options.functionfs, kDeviceId)) return 1;
    printer.Attach(port.In(), port.Out());
    printer.Serve();
    return 0;
  }
  const int device = OpenDevice(options.device);
  if (device < 0) return 1;
  GadgetPrinter printer(options, device, device, nullptr);
  if (!printer.OpenRecords()) return 1;
  printer.Serve();
  return 0;
}
