// The printers the command line works with: listed (korvex list), and the one an operation
// runs on, named with --printer, or the only one. Several and none named is never guessed.
#pragma once

#include <string>
#include <vector>

#include "device/transport.h"

struct FoundPrinter {
  int index;                // in printerList
  std::string id;           // what --printer takes: lpN on Linux, the device path on Windows
  std::string serial;       // the USB serial number, if any
  std::string devicePath;   // the interface's path as discovery admitted it
  std::string vendorId;     // 4 upper-case hexadecimal digits
  std::string productId;
  std::string displayName;  // as the window program's printer menu shows it
};

// The printers present now (printerList filled in). False when the system gives no list.
bool FindPrinters(std::vector<FoundPrinter> *printers);

// Says on standard error why there is no printer to work with.
void SayNoPrinter();

// korvex list.
int RunList(bool json);

// Finds and selects the printer for an operation: the one --printer names (its id, its serial
// number or its device path; empty: the only one). Returns its index in printers, or -1 after
// saying why (no printer, several and none named, none of that name) with *exitCode set.
int ChooseAndSelectPrinter(const std::string &wanted, std::vector<FoundPrinter> *printers,
                           int *exitCode);
// Selects printers[i] for its operation (after ChooseAndSelectPrinter, or for --all).
void SelectFoundPrinter(const FoundPrinter &printer);

// Why the selected printer could not be opened, in words for the user.
std::string WhyNotOpened(TransportFailure failure);
// Whether the selected printer can be opened now. When it cannot, says why on standard error
// (another program holds it: the usblp driver admits one open at a time) and gives false.
bool SelectedPrinterOpens();
