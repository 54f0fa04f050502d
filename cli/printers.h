// The printers the command line works with: listed (korvex list), chosen for an operation (named
// with --printer, or the only one; several and none named is never guessed), and held open for
// the whole operation on a connection of their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/recording.h"
#include "device/connection.h"
#include "device/discovery.h"
#include "device/transport.h"

class ConsoleSink;
class OperationSink;

struct FoundPrinter {
  PrinterEntry entry;        // as discovery admitted it
  ListedInterface listed;    // as the backend listed it, with what it needs to reach it
  std::string id;            // what --printer takes: lpN or usb:BUS-PORTS on Linux, the device
                             // path on Windows
  std::string serial;        // the USB serial number, if any
  std::string port;          // where it is plugged in (the same after a restart)
  std::string instance;      // what a restart changes (its USB device number); may be empty
  std::string devicePath;    // where the system has it: its device node on Linux, the
                             // interface's path on Windows
  std::string vendorId;      // 4 upper-case hexadecimal digits
  std::string productId;
  std::string displayName;   // as the window program's printer menu shows it
  std::string via;           // the way to it: "usblp" or "libusb" on Linux; empty on Windows
};

// The printers present now, every one of them, and those left out (why, in *leftOut when
// given). False when the system gives no list. The listing is this call's own: safe from
// several threads.
bool FindPrinters(std::vector<FoundPrinter> *printers,
                  std::vector<LeftOutPrinter> *leftOut = nullptr);

// Whether two listings' printers are the same printer: at the same USB port with the same serial
// number (one without a serial number: at the same port). Printers whose maker gave every unit
// one serial number are told apart by their ports.
bool SamePrinter(const FoundPrinter &a, const FoundPrinter &b);

// What its recording (korvex --record) says of a printer.
RecordedPrinter AsRecorded(const FoundPrinter &printer);
std::vector<RecordedPrinter> AsRecorded(const std::vector<FoundPrinter> &printers);

// Says on standard error why there is no printer to work with.
void SayNoPrinter(const std::vector<LeftOutPrinter> &leftOut);

// korvex list.
int RunList(bool json);

// The printer --printer names among printers (its id, its serial number or its device path;
// empty: the only one). Returns its index, or -1 after saying why (several and none named, none
// of that name).
int ChoosePrinter(const std::string &wanted, const std::vector<FoundPrinter> &printers);
// The printers present now and the one chosen among them (FindPrinters, then ChoosePrinter);
// -1 with *exitCode set after saying why (no printer, several and none named, none of that name).
int FindAndChoosePrinter(const std::string &wanted, std::vector<FoundPrinter> *printers,
                         int *exitCode);

// Why a printer could not be opened, in words for the user.
std::string WhyNotOpened(TransportFailure failure);

// A printer an operation runs on: its connection, reporting to the sink given, with the printer
// held open from Open to the end (usblp admits one open at a time: no other program can take it
// halfway). During an upgrade its connection is cancelled with the others when the run is
// stopped, from its open to its close.
class HeldPrinter {
 public:
  HeldPrinter(const FoundPrinter &found, OperationSink *sink);
  ~HeldPrinter();
  HeldPrinter(const HeldPrinter &) = delete;
  HeldPrinter &operator=(const HeldPrinter &) = delete;

  // Selects the printer (an interface bound to another protocol is switched to the
  // bidirectional one), identifies its model and opens it; on failure, why.
  TransportFailure Open();
  // Lets the printer go (before it restarts, say); the destructor does it too. Once it returns,
  // no stop reaches the connection any more.
  void Close();

  const FoundPrinter &found() const { return found_; }
  PrinterConnection &connection() { return *connection_; }
  PrinterTransport *transport() { return transport_.get(); }

 private:
  FoundPrinter found_;
  std::unique_ptr<PrinterConnection> connection_;
  std::unique_ptr<PrinterTransport> transport_;
};

// The printer an operation runs on (--printer, or the only one), held open for it and reporting
// to sink; null with *exitCode set after saying why (none found, several and none named, none of
// that name: 3; it cannot be opened: 1).
std::unique_ptr<HeldPrinter> OpenChosenPrinter(const std::string &wanted, ConsoleSink *sink,
                                               int *exitCode);
