// What korvex's end-to-end tests stand on: a fake machine under the build tree (a sysfs tree as
// usblp shows printers, a device root whose usb/lpN are stand-in printers on ptys) and korvex
// run on it as a child process. Never the real /sys or /dev.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_printer.h"

namespace cli_test {

// What korvex wrote to its terminal while the window was columns wide.
struct TerminalPiece {
  int columns;
  std::string bytes;
};

struct KorvexRun {
  int exitCode = -1;  // -1: killed at the time limit
  std::string out;
  std::string err;  // with a terminal: every piece's bytes, as they came
  double seconds = 0;
  std::vector<TerminalPiece> terminal;  // with stderrTerminalColumns, from the first width on
};

// The test's side of the pty that korvex's standard error is, read while korvex writes so that
// it never waits on a full terminal.
class TerminalCapture {
 public:
  // Its master side, whose window is columns wide.
  TerminalCapture(int master, int columns);
  ~TerminalCapture();
  TerminalCapture(const TerminalCapture &) = delete;
  TerminalCapture &operator=(const TerminalCapture &) = delete;

  // The window made columns wide, once korvex has written nothing for a while. Call it with
  // korvex stopped (SIGSTOP), so that everything it wrote at the old width is read first.
  void Resize(int columns);
  // Everything korvex wrote, once it has ended.
  std::vector<TerminalPiece> Finish();

 private:
  void Read();

  int master_;
  std::mutex mutex_;
  std::vector<TerminalPiece> pieces_;
  std::chrono::steady_clock::time_point lastRead_;
  std::atomic<bool> ending_{false};
  std::thread reader_;
};

// How korvex is started, beyond its arguments.
struct Launch {
  std::vector<std::string> environment;  // NAME=value, added to the test's own
  bool interruptIgnored = false;  // started as a background job is: SIGINT ignored
  bool outputToPipe = false;      // standard output and error into one pipe the test reads
  bool withStandinShim = false;   // the stand-ins behave as usblp does (usblp_standin_shim.c)
  int stderrTerminalColumns = 0;  // > 0: standard error a terminal (a pty) this wide, 24 rows
};

// korvex while it runs.
struct RunningKorvex {
  int pid = -1;
  int output = -1;  // the pipe's read end, with outputToPipe; the test may close it
  std::string outPath, errPath;
  std::chrono::steady_clock::time_point started;
  std::shared_ptr<TerminalCapture> terminal;  // with stderrTerminalColumns
};

class FakeMachine {
 public:
  // A fresh directory for the test, emptied of what an earlier run left.
  explicit FakeMachine(const std::string &name);
  ~FakeMachine();

  // A USB printer as sysfs shows it once usblp has taken its interface as lpN: vendor and
  // product id in lower-case hex, the serial number when not empty. No device file yet.
  void Plug(int lp, const std::string &vid, const std::string &pid, const std::string &serial);
  // A stand-in printer as lpN's device file; it lives as long as the machine. Each time it comes
  // back from a restart, its USB device gets a new device number, as the kernel gives one at
  // every enumeration.
  PtyPrinter &Attach(int lp, const PtyPrinterOptions &options);
  // lpN's USB device number now (busnum 1).
  int DeviceNumber(int lp) const;

  // A file of the machine's directory with these bytes; returns its path.
  std::string WriteFile(const std::string &name, const std::vector<unsigned char> &bytes) const;

  // korvex with this machine's sysfs and device root, standard input an empty file (no
  // terminal), standard output and error caught; killed after timeoutSeconds.
  KorvexRun Korvex(const std::vector<std::string> &arguments, int timeoutSeconds = 60);
  // The same in two steps, so that a test can act while it runs.
  RunningKorvex Start(const std::vector<std::string> &arguments, const Launch &launch);
  KorvexRun Finish(RunningKorvex *running, int timeoutSeconds = 60);
  // The path of lpN's device as korvex opens it.
  std::string DevicePath(int lp) const;

 private:
  // lpN's USB device directory under the sysfs tree.
  std::string UsbDevice(int lp) const;

  std::string root_;
  int runs_ = 0;
  std::atomic<int> nextDeviceNumber_{2};
  std::vector<std::unique_ptr<PtyPrinter>> printers_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);

// What a run printed and ended with, for a failing assertion's message.
std::string Show(const KorvexRun &run);

// An Orbis 300 (product id 015C) of the newer family. Its version text is read as one block of
// more than two of usblp's 1024-byte pieces; family 2 shows it from its second line, which
// lies in the last piece.
PrinterIdentity Orbis300();
PtyPrinterOptions Options(const PrinterIdentity &identity);

// A single-image package of image for productCode, in blocks of 64 KiB.
std::vector<unsigned char> SingleImagePackage(const std::string &productCode,
                                              const std::vector<unsigned char> &image);
// A multi-part package for the Orbis 300 of Orbis300() holding these parts, each followed by a
// pause of delaySeconds.
std::vector<unsigned char> MultiPartPackage(const std::vector<std::vector<unsigned char>> &parts,
                                            uint8_t delaySeconds);

}  // namespace cli_test
