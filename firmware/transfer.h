// Firmware transfer: bytes written to the chosen printer in writes of 4096 bytes, with progress.
#pragma once

#include <cstdint>

class PrinterTransport;

// Writes length bytes of data to currentDevicePath, each 4096-byte chunk staged in replyBuffer,
// the device open only for this call and each write waiting as long as the driver takes. total
// and base (bytes the run sent before this call) only serve the progress the sink is told of
// when progressOn is non-zero: once per step of total, before the chunk that reaches it. Returns
// length, or -1 when the device cannot be opened or a write fails or falls short; what was
// written before stays written, and the sink has been told of every write that put bytes in.
int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     int progressOn);

// The same on a connection the caller opened and keeps open for the whole transfer, so that no
// other program can take the printer between two calls (the usblp driver admits one open at a
// time). Also -1 when the sink asks for the run to stop: before the next write, never within
// one.
int SendFirmwareDataOn(PrinterTransport &printer, const unsigned char *data, uint32_t length,
                       uint32_t total, uint32_t base, int progressOn);
