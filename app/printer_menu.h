// The window program's printer discovery: the printers listed, the user told when there is none,
// and one chosen (the only one, or the user's pick from a popup menu).
#pragma once

constexpr int kFirstPrinterCommand = 1000;  // popup menu item of printerList[i]: 1000 + i

// Lists the printers and selects one. popupAnchor places the printer menu: 1 by the query
// button, 2 by the upgrade button, 3 near the window's top left, else the screen's middle.
// Returns 1 when the device list cannot be had, else 0; callers test printerSelected. Runs on
// the main thread (the menu is modal there).
int DiscoverPrinters(int popupAnchor);
