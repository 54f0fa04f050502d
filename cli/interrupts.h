// How korvex takes Ctrl+C and the requests to end: in one place, never inside a write. On Linux
// every thread runs with those signals blocked and one thread of their own takes them, so no
// signal lands inside a write to the printer (usblp's write ends with EINTR when one does,
// after its transfer was already under way); on Windows the console's control handler runs on a
// thread of its own anyway.
#pragma once

#include <string>

class PrinterTransport;

// First thing in main. Linux: SIGPIPE ignored (output nobody reads is a failed write, dropped);
// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and SIGTTOU blocked in every thread and taken by
// one. Outside an upgrade each does what it does to any program. A signal that was ignored when
// korvex started stays ignored (a background job keeps ignoring Ctrl+C).
void TakeInterrupts();

// While an upgrade runs, the requests to end no longer end korvex at once:
// - before firmware flows, Ctrl+C or a request to end stops the run at the next boundary, with
//   nothing sent;
// - once it flows, the first Ctrl+C only warns that an interrupted transfer can leave the printer
//   unusable; a second one, SIGTERM or SIGQUIT stops every transfer at its next write, and a
//   write that hangs is ended;
// - a hang-up does not stop a transfer (the terminal is gone, the printer is not), and Ctrl+Z
//   cannot suspend one.
class UpgradeInterrupts {
 public:
  UpgradeInterrupts();
  ~UpgradeInterrupts();
  UpgradeInterrupts(const UpgradeInterrupts &) = delete;
  UpgradeInterrupts &operator=(const UpgradeInterrupts &) = delete;

  // Firmware begins or ends flowing to a printer.
  static void FirmwareFlows(bool flowing);
  // A printer's connection, cancelled when the run is stopped; Forget before it is destroyed.
  static void Watch(PrinterTransport *connection);
  static void Forget(PrinterTransport *connection);
  // Whether the run is to stop, and what asked for it ("Ctrl+C", "SIGTERM", ...).
  static bool StopRequested();
  static std::string StopReason();
};
