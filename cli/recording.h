// korvex --record FILE: each printer's conversation, as it passes the transport seam, written to
// a recording file (device/recording_format.h) that a stand-in printer can replay. One printer's
// goes to FILE; with several (upgrade --all, --printer more than once) each printer's to a file
// of its own, FILE with the printer's id before its extension (rec.jsonl: rec.lp0.jsonl,
// rec.usb_1-2.jsonl). --redact puts stand-ins in place of the serial number and MAC addresses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/connection.h"
#include "device/transport.h"

// What a recording says of a printer, and how the printer is known again.
struct RecordedPrinter {
  std::string id;      // as korvex list shows it
  std::string serial;  // the USB serial number, if any
  std::string port;    // where it is plugged in; empty where not known
  std::string way;     // usblp, libusb or windows
  std::string vendorId, productId;
  int interfaceProtocol = -1;  // as the system listed it; -1 where not known
};

// From korvex's options, before any command runs; an empty file records nothing.
void PlanRecordings(const std::string &file, bool redact);

// The file of a printer's recording: file itself for one printer, else file with the printer's
// id (its characters but letters, digits, '.', '_' and '-' made '_') before the extension.
std::string RecordingFileOf(const std::string &file, const std::string &id, bool several);

// Creates the recording file of each printer an operation is about to work with, before any of
// them is touched. False after saying why on standard error (nothing recorded, no printer
// touched); true at once without --record.
bool OpenRecordings(const std::vector<RecordedPrinter> &printers);

// A printer's connection as it is to be used: wrapped so that its conversation goes to its
// recording, when the printer has one (the same printer found again, after a restart say, goes
// on in the same file); else transport itself. connection is the printer's, selected and
// identified: what the recording's header says of it.
std::unique_ptr<PrinterTransport> Recorded(const RecordedPrinter &printer,
                                           const PrinterConnection &connection,
                                           std::unique_ptr<PrinterTransport> transport);
