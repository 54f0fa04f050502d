// korvex-usblp-standin: a printer behind a pty, standing in for a /dev/usb/lpN device of the
// Linux usblp driver, so that korvex_tool.exe can be run under Wine through scripts/korvex-linux
// without hardware. Its answers are those of the simulated printers (printer_logic.h).
//
// Wine treats a pty as a serial port: a read of N bytes completes only once N bytes have come
// (a /dev/usb/lpN device, like any character device that is no terminal, gives what is there:
// one transfer). The tool reads each reply header with a 4096-byte read and the data block with
// a read of exactly the announced length, so each header is padded with zeros to 4096 bytes.
// That leaves out the family-1 replies that are a 16-byte header alone, which the tool checks
// for that length: the stand-in plays a family-2 printer.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/packets.h"
#include "printer_logic.h"
#include "pty_printer.h"

namespace {

const char kUsage[] =
    "usage: korvex-usblp-standin --link PATH [--silent]\n"
    "  Plays a family-2 printer on a new pty and makes PATH a symbolic link to it (for example\n"
    "  FAKE_DEV/usb/lp0 for scripts/korvex-linux). --silent takes every packet and answers\n"
    "  none. Logs each packet it takes; ends on SIGINT or SIGTERM and removes PATH.\n";

volatile sig_atomic_t stopping = 0;
void OnStopSignal(int) { stopping = 1; }

void Answer(PrinterState &state, int master, const unsigned char *bytes, size_t length) {
  std::vector<Transfer> replies;
  const TransferKind kind = HandleTransfer(state, bytes, length, &replies);
  std::printf("<- %s\n", DescribeTransfer(kind, state, length).c_str());
  std::fflush(stdout);
  // A printer without faults answers with the header and at most one data block after it.
  for (size_t i = 0; i < replies.size(); ++i) {
    Transfer block = replies[i];
    if (i == 0) block.resize(kReplyBlockBytes, 0);
    if (!WriteAll(master, block.data(), block.size())) {
      std::perror("korvex-usblp-standin: write");
      return;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string link;
  PrinterFaults faults;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else if (argument == "--silent") {
      faults.silent = true;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (link.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("korvex-usblp-standin: pty");
    return 1;
  }
  const std::string slaveName = ptsname(master);
  // Raw mode: no echo of the tool's packets back to it, and no byte changed on the way.
  termios mode = {};
  tcgetattr(master, &mode);
  cfmakeraw(&mode);
  tcsetattr(master, TCSANOW, &mode);
  // Held open so that the pty stays up between the tool's transactions: without any slave
  // open, reads here fail and pending bytes are lost.
  const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::perror("korvex-usblp-standin: open the pty");
    return 1;
  }
  if (symlink(slaveName.c_str(), link.c_str()) != 0) {
    std::perror("korvex-usblp-standin: symlink");
    return 1;
  }
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::printf("korvex-usblp-standin: %sprinter on %s, linked from %s\n",
              faults.silent ? "silent " : "", slaveName.c_str(), link.c_str());
  std::fflush(stdout);

  PrinterState state = NewPrinterState(PrinterIdentity(), faults);
  std::vector<unsigned char> pending;
  unsigned char buffer[8192];
  while (!stopping) {
    pollfd wait = {master, POLLIN, 0};
    if (poll(&wait, 1, 200) <= 0) continue;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    pending.insert(pending.end(), buffer, buffer + n);
    size_t end;
    while (!pending.empty() && (end = PacketEnd(pending)) > 0) {
      Answer(state, master, pending.data(), end);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  unlink(link.c_str());
  close(slave);
  close(master);
  return 0;
}
