// Printer discovery and selection: the USB printers attached now, admitted by their device path
// and named from the model table, and the printer chosen from them. Choosing among several is
// the front end's (the window program's popup menu, the command line's --printer).
#pragma once

#include "info/model_identification.h"

constexpr int kMaxPrinters = 16;
constexpr int kDevicePathUnits = 260;  // 259 characters and the terminator
constexpr int kDeviceIdUnits = 9;      // vendor id and product id, 4 upper-case hex digits each

struct PrinterEntry {
  wchar_t devicePath[kDevicePathUnits];  // as the system reported it, in its own letter case
  wchar_t deviceId[kDeviceIdUnits];
  wchar_t displayName[kDisplayNameUnits];  // its menu text
};

extern PrinterEntry printerList[kMaxPrinters];

// The current selection, rebuilt by every discovery.
extern wchar_t currentDevicePath[kDevicePathUnits];
extern wchar_t currentDeviceId[kDeviceIdUnits];
extern int printerSelected;  // 1 once SelectPrinter has run for this discovery

// Clears the selection and the list, then walks the USB printer interfaces present now into
// printerList, in the system's order: those whose lower-case device path holds an admitting
// pattern (internal strings 50-53) and no rejecting one (54-55), at most 16, each with its
// device id and display name. Returns how many, or -1 when the system gives no list.
int ListPrinters();
// Makes printerList[index] current and readies the printer for raw traffic (an IPP-mode
// interface is switched back to the bidirectional protocol). Returns 1 when the device cannot be
// opened for that (the selection stands), else 0.
int SelectPrinter(int index);

// Whether the patterns admit a device path (compared in lower case).
bool AdmitsDevicePath(const wchar_t *devicePath);
