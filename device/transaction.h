// The device transaction engine: one command packet written to the chosen printer and, in the
// request/reply mode, its reply header and data block read back with time-outs, while the front
// end shows that the printer is being waited for (the window program's ticker).
#pragma once

#include "device/packets.h"

struct CommandSlot {
  int readData;      // 1: a data block follows the reply header; anything else: header only
  int lengthOffset;  // where the reply header holds the data block's length
  int lengthWidth;   // 1, 2 or 4 bytes, most significant first
  int packetLength;  // what BuildPacket returned
  unsigned char packet[kMaxPacketBytes];
};

constexpr int kCommandSlots = 8;
extern CommandSlot slotTable[kCommandSlots];
// Every block a transaction reads lands here from offset 0; the firmware transfer stages its
// writes here too, so no transaction may run during a transfer.
extern unsigned char replyBuffer[kReplyBlockBytes];

// Clears the packet areas of all slots (8 × 128 bytes), as callers do before a new command set.
void ClearCommandSlots();
// Fills one slot: its read settings, then the packet of the record and its length. Returns the
// packet length (0 when the record cannot be a packet, which makes the transaction fail).
int PrepareCommandSlot(int slot, int readData, int lengthOffset, int lengthWidth,
                       const unsigned char *record, int recordLength);

// Sends the slot's packet to currentDevicePath. writeOnly non-zero: one write that waits as long
// as the driver takes, nothing read. Otherwise: a write of at most 3000 ms, reads until a block
// echoes the packet (5000 ms each, at most 262,144 reads), then the announced data block if the
// slot asks for it: read within 5000 ms, joined from pieces as long as each piece fills usblp's
// read buffer. Returns 0 with *outLength = bytes of the last block read (request/reply mode
// only), or 1 on any failure, which leaves *outLength alone. Blocks for seconds: the window
// program calls it from a worker thread, never from the thread that owns the information pane.
int RunTransaction(int slot, unsigned int *outLength, int writeOnly);

// Tests lower the number of reads spent looking for the reply header (default 262,144) to
// reach the end of the search in milliseconds instead of minutes.
void SetReplySearchReadsForTesting(unsigned int reads);
