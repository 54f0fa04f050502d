// Printer discovery and selection: the USB printers attached now, admitted by their device path
// and named from the model table, and the printer chosen from them made a connection's printer.
// Choosing among several is the front end's (the window program's popup menu, the command
// line's --printer).
#pragma once

#include "device/connection.h"

// The window program's printer menu holds this many; the command line lists every printer.
constexpr int kMaxPrinters = 16;

struct PrinterEntry {
  wchar_t devicePath[kDevicePathUnits];  // as the system reported it, in its own letter case
  wchar_t deviceId[kDeviceIdUnits];
  wchar_t displayName[kDisplayNameUnits];  // its menu text
};

// Clears list, then walks the USB printer interfaces present now into it, in the system's order:
// those whose lower-case device path holds an admitting pattern (internal strings 50-53) and no
// rejecting one (54-55), at most capacity (16 at most), each with its device id and display
// name. Returns how many, or -1 when the system gives no list.
int ListPrinterInterfaces(PrinterEntry *list, int capacity);
// The entry of a device path that the patterns admit, with its device id and display name;
// false for one they do not admit (or too long to be one).
bool MakePrinterEntry(const wchar_t *devicePath, PrinterEntry *entry);
// Makes entry the connection's printer and readies it for raw traffic (an IPP-mode interface is
// switched back to the bidirectional protocol). Returns 1 when the device cannot be opened for
// that (the selection stands), else 0.
int SelectPrinterEntry(PrinterConnection &connection, const PrinterEntry &entry);
// The same for a printer the command line listed, readied the way its listing reaches it.
int SelectListedPrinter(PrinterConnection &connection, const PrinterEntry &entry,
                        const ListedInterface &listed);

// Whether the patterns admit a device path (compared in lower case).
bool AdmitsDevicePath(const wchar_t *devicePath);
