// Firmware transfer: bytes written to a connection's printer in writes of 4096 bytes, with
// progress.
#pragma once

#include <cstdint>

#include "device/connection.h"

// Writes length bytes of data to the connection's printer in 4096-byte chunks. On the transport
// the connection holds when it has one (straight from data; a transport that keeps several
// chunks in flight counts each once the printer has taken it), else through an open of the
// device for this call alone, each chunk staged in the reply buffer; each write waits as long as the driver takes, or until the
// connection's stall time-out when it has one. total and base (bytes the run sent before this
// call) only serve the progress the sink is told of when progressOn is non-zero: once per step
// of total, before the chunk that reaches it. Returns length, or -1 when the device cannot be
// opened, a write fails or falls short, or the sink asks for the run to stop (before a write,
// never within one); what was written before stays written, and the sink has been told of every
// write that put bytes in.
int SendFirmwareData(PrinterConnection &connection, const unsigned char *data, uint32_t length,
                     uint32_t total, uint32_t base, int progressOn);
