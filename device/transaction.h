// The device transaction engine: one command packet written to the chosen printer and, in the
// request/reply mode, its reply header and data block read back with time-outs, while a ticker
// thread animates the information pane.
#pragma once

#include <windows.h>

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

// Sends the slot's packet to currentDevicePath. writeOnly non-zero: one synchronous write, no
// ticker, nothing read. Otherwise: overlapped write (3000 ms), reads until a block echoes the
// packet (5000 ms each, at most 262,144 reads), then the announced data block if the slot asks
// for it. Returns 0 with *outLength = bytes of the last block read (request/reply mode only),
// or 1 on any failure, which leaves *outLength alone. Blocks for seconds: call it from a worker
// thread, never from the thread that owns the information pane.
int RunTransaction(int slot, unsigned int *outLength, int writeOnly);

// The ticker thread: appends a dot to the pane's text every 250 ms, 128 times at most. Its
// parameter is an event that ends it early, or nullptr to let it run out.
DWORD WINAPI ProgressTicker(LPVOID stopEvent);

struct TickerThread {
  HANDLE thread;
  HANDLE stopEvent;
};
// Starts ProgressTicker on a new thread (created suspended, then resumed).
TickerThread StartProgressTicker();
// Ends the ticker and waits for it, so that the pane changes no more once this returns; closes
// both handles. Harmless on a ticker that never started.
void StopProgressTicker(TickerThread *ticker);

// Tests lower the number of reads spent looking for the reply header (default 262,144) to
// reach the end of the search in milliseconds instead of minutes.
void SetReplySearchReadsForTesting(unsigned int reads);
