// A printer's connection through libusb: the printer-class interface's bulk endpoints, claimed
// for the connection's time. Written against libusb's own API alone so that it can serve
// another system's backend; used and tested on Linux only (usbfs, os/linux/printers.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/transport.h"

// Where a printer is plugged in, as libusb tells it: its bus, and the port numbers from the root
// hub down (Linux's sysfs names the same device BUS-PORT.PORT...).
struct LibusbPrinterPlace {
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  // A kernel driver that has the printer interface (usblp) is detached when the connection opens
  // and re-attached when it closes, on every way out. Without it, such an interface is Busy.
  bool detachKernelDriver = false;
};

// A connection to the printer at place; not yet open. Open finds the device, opens it, finds
// the printer-class interface with a bulk IN and a bulk OUT endpoint (the bidirectional
// protocol's alternate setting where there are several) and claims it: Busy when another
// program has it claimed, NoAccess without permission for the device, Gone when it is not there.
std::unique_ptr<PrinterTransport> NewLibusbTransport(const LibusbPrinterPlace &place);

// For the thread that ends the program on a signal, just before it does: ends the calls in
// progress of every libusb connection still open, then closes them, so that each interface is
// released and each kernel driver detached from it re-attached. Later opens fail (Cancelled).
void ReleaseLibusbConnections();
