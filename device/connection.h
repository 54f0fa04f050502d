// One printer's connection: everything the protocol core knows of one printer while an
// operation runs, handed to every protocol step with the front end's sink. Nothing in the core
// is shared between two connections, so several printers can be driven at once, each from a
// thread of its own; the built-in tables are all they share, and only read them.
#pragma once

#include "device/packets.h"
#include "device/transport.h"
#include "info/information_fields.h"

class OperationSink;

constexpr int kDevicePathUnits = 260;  // 259 characters and the terminator

struct CommandSlot {
  int readData;      // 1: a data block follows the reply header; anything else: header only
  int lengthOffset;  // where the reply header holds the data block's length
  int lengthWidth;   // 1, 2 or 4 bytes, most significant first
  int packetLength;  // what BuildPacket returned
  unsigned char packet[kMaxPacketBytes];
};
constexpr int kCommandSlots = 8;

// How many reads the engine spends looking for a reply's header before it gives up.
constexpr unsigned int kReplySearchReads = 0x40000;

struct PrinterConnection {
  // The printer, as discovery listed it and selection made it current.
  wchar_t devicePath[kDevicePathUnits];
  wchar_t deviceId[kDeviceIdUnits];
  // What model identification made of it: 0 refused, 1 fixed records, 2 SSI/OID (also every
  // model the table does not know); and its name on screen.
  int protocolFamily = 2;
  wchar_t displayName[kDisplayNameUnits];

  // Where the operation reports; set before any step runs.
  OperationSink *sink = nullptr;
  // A connection the front end opened for the whole operation, or none: each transaction and
  // each firmware transfer then opens the printer for itself and closes it again (the window
  // program, as the Windows driver lets it). The front end closes a held one, and may Cancel
  // it from another thread.
  PrinterTransport *transport = nullptr;
  // Why the last open, write or read of the printer failed (None after one that worked).
  TransportFailure lastFailure = TransportFailure::None;
  // A firmware write that takes nothing for this long fails (0: it waits as long as the driver
  // takes, as the window program's writes do).
  uint32_t stallMilliseconds = 0;

  // The transaction engine's command slots, and the block it read last. The firmware transfer
  // stages its writes in the same buffer: no transaction runs during a transfer.
  CommandSlot slots[kCommandSlots];
  unsigned char reply[kReplyBlockBytes];
  unsigned int replySearchReads = kReplySearchReads;

  InformationFields fields;
};

// UI text k in the language of the connection's front end.
const wchar_t *UiText(const PrinterConnection &connection, int k);
