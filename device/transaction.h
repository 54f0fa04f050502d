// The device transaction engine: one command packet written to a connection's printer and, in
// the request/reply mode, its reply header and data block read back with time-outs, while the
// front end shows that the printer is being waited for (the window program's ticker).
#pragma once

#include "device/connection.h"

// Clears the packet areas of all the connection's slots (8 × 128 bytes), as callers do before a
// new command set.
void ClearCommandSlots(PrinterConnection &connection);
// Fills one slot: its read settings, then the packet of the record and its length. Returns the
// packet length (0 when the record cannot be a packet, which makes the transaction fail).
int PrepareCommandSlot(PrinterConnection &connection, int slot, int readData, int lengthOffset,
                       int lengthWidth, const unsigned char *record, int recordLength);

// Sends the slot's packet to the connection's printer. writeOnly non-zero: one write that waits
// as long as the driver takes, nothing read. Otherwise: a write of at most 3000 ms, reads until
// a block echoes the packet (5000 ms each, at most replySearchReads of them), then the announced
// data block if the slot asks for it: read within 5000 ms, joined from pieces as long as each
// piece fills usblp's read buffer. Every block lands in connection.reply from offset 0. Returns
// 0 with *outLength = bytes of the last block read (request/reply mode only), or 1 on any
// failure, which leaves *outLength alone. On the held transport when the connection has one,
// else through an open of its own. Blocks for seconds: the window program calls it from a worker
// thread, never from the thread that owns the information pane.
int RunTransaction(PrinterConnection &connection, int slot, unsigned int *outLength, int writeOnly);
