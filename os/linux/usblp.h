// The usblp driver's way to a printer on Linux, for the Linux discovery (os/linux/printers.cpp):
// a connection through /dev/usb/lpN, and the driver's protocol switch.
#pragma once

#include <memory>
#include <string>

#include "device/transport.h"

// A connection through the usblp device node; not yet open. An empty node opens as Gone.
std::unique_ptr<PrinterTransport> NewUsblpTransport(const std::string &node);

// An interface that usblp bound to another protocol than the bidirectional one it also offers
// is switched to it. 1 when the node cannot be opened, else 0.
int SwitchUsblpToBidirectional(const std::string &node);

// What an errno of opening, reading or writing a usblp node means.
TransportFailure UsblpFailureOf(int error);
