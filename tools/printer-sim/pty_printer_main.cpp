// korvex-pty-printer: one simulated printer on a pty, linked from a fake /dev/usb/lpN, answering
// as usblp delivers replies (pty_printer.h); for trying korvex by hand and for benchmarks.
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "pty_printer.h"

namespace {

const char kUsage[] =
    "usage: korvex-pty-printer --link PATH [--family 1|2] [--firmware-version VERSION]\n"
    "                          [--silent] [--gone-after BYTES]\n"
    "                          [--version-text-bytes N] [--firmware FILE | --drain]\n"
    "                          [--intake BYTES_PER_SECOND] [--restart-after BYTES\n"
    "                          [--restart-seconds S] [--firmware-after VERSION] [--never-back]]\n"
    "                          [--replay FILE]\n"
    "  Plays a printer on a new pty and makes PATH (e.g. FAKE_DEV/usb/lp0, with\n"
    "  KORVEX_DEV=FAKE_DEV) a symbolic link to it. --family 1 answers in the older layouts (a\n"
    "  sysfs product id of a family-1 model goes with it). --firmware-version is the version\n"
    "  it reports (7 characters, default 3.01.22). --silent answers nothing;\n"
    "  --gone-after goes away after that many firmware bytes; --version-text-bytes makes the\n"
    "  version text that long. Firmware is written to FILE at the end, or with --drain only\n"
    "  counted.\n"
    "  As a printer during an upgrade: --intake takes firmware no faster than that (the\n"
    "  sender's writes wait); --restart-after restarts once it has taken that many firmware\n"
    "  bytes since it started: PATH goes away for --restart-seconds (default 3) and comes\n"
    "  back on a new pty, reporting firmware version VERSION with --firmware-after (else the\n"
    "  one it had); with --never-back it stays away. Back, it restarts again after as many\n"
    "  bytes more.\n"
    "  --replay FILE answers as the recording FILE says (korvex --record): each request must\n"
    "  be the next one recorded, and gets its recorded replies; what differs is said on\n"
    "  standard error, with the recording's line, and not answered. The USB ids it plays are\n"
    "  the recording's (its header), for the fake sysfs to show.\n"
    "  Ends on SIGINT or SIGTERM, removes PATH and says what it received.\n";

// A count of bytes or seconds: digits only.
bool Count(const char *text, unsigned long long *value) {
  if (*text < '0' || *text > '9') return false;
  char *end = nullptr;
  errno = 0;
  *value = std::strtoull(text, &end, 10);
  return *end == 0 && errno == 0;
}

}  // namespace

int main(int argc, char **argv) {
  PtyPrinterOptions options;
  std::string link, firmwareFile, replayFile;
  size_t versionBytes = 0;
  unsigned long long count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    PrinterFaults &faults = options.faults;
    if (argument == "--link" && hasValue) {
      link = argv[++i];
    } else if (argument == "--family" && hasValue) {
      options.identity.family = std::atoi(argv[++i]);
    } else if (argument == "--firmware-version" && hasValue) {
      options.identity.firmwareVersion = argv[++i];
    } else if (argument == "--silent") {
      options.faults.silent = true;
    } else if (argument == "--gone-after" && hasValue) {
      options.faults.disconnectAfter = std::atoll(argv[++i]);
    } else if (argument == "--version-text-bytes" && hasValue) {
      versionBytes = std::strtoul(argv[++i], nullptr, 10);
    } else if (argument == "--firmware" && hasValue) {
      firmwareFile = argv[++i];
    } else if (argument == "--drain") {
      options.keepFirmware = false;
    } else if (argument == "--intake" && hasValue && Count(argv[++i], &count)) {
      faults.intakeBytesPerSecond = count;
    } else if (argument == "--restart-after" && hasValue && Count(argv[++i], &count) &&
               count <= static_cast<unsigned long long>(LLONG_MAX)) {
      faults.restartAfter = static_cast<long long>(count);
    } else if (argument == "--restart-seconds" && hasValue && Count(argv[++i], &count) &&
               count <= UINT_MAX) {
      faults.restartSeconds = static_cast<unsigned>(count);
    } else if (argument == "--firmware-after" && hasValue) {
      faults.firmwareAfterRestart = argv[++i];
    } else if (argument == "--never-back") {
      faults.neverBack = true;
    } else if (argument == "--replay" && hasValue) {
      replayFile = argv[++i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (link.empty() || (options.identity.family != 1 && options.identity.family != 2)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (versionBytes > 0) LengthenVersionText(&options.identity, versionBytes);
  if (!replayFile.empty()) {
    auto recording = std::make_shared<Recording>();
    std::string error;
    if (!LoadReplay(replayFile, recording.get(), &error)) {
      std::fprintf(stderr, "korvex-pty-printer: %s\n", error.c_str());
      return 1;
    }
    options.replay = recording;
    options.onReplayReport = [](const std::string &report) {
      std::fprintf(stderr, "korvex-pty-printer: %s\n", report.c_str());
    };
  }
  if (firmwareFile.empty()) options.keepFirmware = false;

  // The signals are taken by sigwait below, not by a handler on the printer's thread.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  PtyPrinter printer(options);
  std::string error;
  if (!printer.Start(link, &error)) {
    std::fprintf(stderr, "korvex-pty-printer: %s\n", error.c_str());
    return 1;
  }
  if (options.replay) {
    const RecordingHeader &header = options.replay->header;
    std::printf("korvex-pty-printer: printer %s:%s replaying %s on %s, linked from %s\n",
                header.vendorId.c_str(), header.productId.c_str(), replayFile.c_str(),
                printer.SlaveName().c_str(), link.c_str());
  } else {
    std::printf("korvex-pty-printer: family-%d %sprinter on %s, linked from %s\n",
                options.identity.family, options.faults.silent ? "silent " : "",
                printer.SlaveName().c_str(), link.c_str());
  }
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stops, &signal);
  printer.Stop();

  if (!firmwareFile.empty()) {
    const Transfer firmware = printer.Firmware();
    std::ofstream(firmwareFile, std::ios::binary)
        .write(reinterpret_cast<const char *>(firmware.data()),
               static_cast<std::streamsize>(firmware.size()));
  }
  std::printf("korvex-pty-printer: %zu command packets, %llu firmware bytes, %d restart(s)%s\n",
              printer.Packets().size(), static_cast<unsigned long long>(printer.FirmwareBytes()),
              printer.Restarts(), printer.Gone() ? ", then it went away" : "");
  if (options.replay) std::printf("korvex-pty-printer: %s\n", printer.ReplaySummary().c_str());
  return 0;
}
