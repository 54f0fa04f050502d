// Printer discovery and selection: the USB printers attached now, named from the model table and
// chosen (the only one, or the user's pick from a popup menu).
#pragma once

#include <windows.h>

#include "info/model_identification.h"

constexpr int kMaxPrinters = 16;
constexpr int kDevicePathUnits = 260;  // 259 characters and the terminator
constexpr int kDeviceIdUnits = 9;      // vendor id and product id, 4 upper-case hex digits each
constexpr int kFirstPrinterCommand = 1000;  // popup menu item of printerList[i]: 1000 + i

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

// Lists the printers and selects one. popupAnchor places the printer menu: 1 by the query
// button, 2 by the upgrade button, 3 near the window's top left, else the screen's middle.
// Returns 1 when the device list cannot be had, else 0; callers test printerSelected. Runs on
// the main thread (the menu is modal there).
int DiscoverPrinters(int popupAnchor);
// Makes printerList[index] current and switches an IPP-mode printer back to the bidirectional
// protocol. Returns 1 when the protocol check cannot open the device (the selection stands).
int SelectPrinter(int index);

// The protocol check's one call into the USB printer driver. A simulated printer is a named
// pipe, which answers no driver control code, so tests put their own printer's answer here.
using DeviceControlFunction = BOOL(WINAPI *)(HANDLE device, DWORD code, LPVOID input,
                                             DWORD inputBytes, LPVOID output, DWORD outputBytes,
                                             LPDWORD returnedBytes, LPOVERLAPPED overlapped);
extern DeviceControlFunction printerDeviceControl;
