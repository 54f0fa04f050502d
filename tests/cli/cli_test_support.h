// What korvex's end-to-end tests stand on: a fake machine under the build tree (a sysfs tree as
// usblp shows printers, a device root whose usb/lpN are stand-in printers on ptys) and korvex
// run on it as a child process. Never the real /sys or /dev.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pty_printer.h"

namespace cli_test {

struct KorvexRun {
  int exitCode = -1;  // -1: killed at the time limit
  std::string out;
  std::string err;
  double seconds = 0;
};

class FakeMachine {
 public:
  // A fresh directory for the test, emptied of what an earlier run left.
  explicit FakeMachine(const std::string &name);
  ~FakeMachine();

  // A USB printer as sysfs shows it once usblp has taken its interface as lpN: vendor and
  // product id in lower-case hex, the serial number when not empty. No device file yet.
  void Plug(int lp, const std::string &vid, const std::string &pid, const std::string &serial);
  // A stand-in printer as lpN's device file; it lives as long as the machine.
  PtyPrinter &Attach(int lp, const PtyPrinterOptions &options);

  // A file of the machine's directory with these bytes; returns its path.
  std::string WriteFile(const std::string &name, const std::vector<unsigned char> &bytes) const;

  // korvex with this machine's sysfs and device root, standard input an empty file (no
  // terminal), standard output and error caught; killed after timeoutSeconds.
  KorvexRun Korvex(const std::vector<std::string> &arguments, int timeoutSeconds = 60);

 private:
  std::string root_;
  int runs_ = 0;
  std::vector<std::unique_ptr<PtyPrinter>> printers_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);

}  // namespace cli_test
