// The firmware upgrade's protocol: a firmware file checked against a connection's printer, then
// read and checked whole without sending anything, then read again from its start and sent. A
// file damaged anywhere never reaches the printer. Progress and the upgrade notes go to the
// connection's sink; failures before the transfer that a compatibility check found are reported
// by the check, all others are the caller's to report from the outcome.
#pragma once

#include <cstdint>

#include "device/connection.h"
#include "firmware/package_reader.h"

// The upgrade note a model gets from its display name: 1 for the two-character prefix of
// internal string 60, 2 for the three-character prefixes of 61-64 (tested last, so they win),
// 0 for none.
int ModelCategory(const wchar_t *displayName);
// The note of a category in a language: UI text 34 for 1, 35 for 2.
const wchar_t *CategoryNote(int language, int category);

// What a run found and did.
struct UpgradeRun {
  FirmwareWalk walk;  // what the last walk of the file found
  uint32_t total;     // image_size, the file size or the part count: the transfer's range
  uint32_t sent;      // bytes handed to the printer, or parts of a multi-part package
  int category;       // the printer's ModelCategory (single-image and raw only)
};

// A single-image package or a raw image from file (read from its start), with the run's file
// buffer (kFileBufferSize) and inflate buffer (kInflateBufferSize): the product-code check and
// the first block's probe, the model's note, the whole-file check, then the transfer. A
// multi-part package is not run here: the outcome is then OpenFailed with walk.kind MultiPart,
// and the caller hands the file to CheckAndSendParts. Accepted when everything was sent.
// With a transfer buffer (kInflateBufferSize more), each block is written from it on a thread of
// its own while the next one is read and inflated; without one, each block is written before the
// next is read, and at most one inflated block is in memory.
//
// The printer is talked to as the connection says: on the transport it holds for the whole
// operation (the front end may Cancel it to end a write that hangs), or through an open for
// each transaction, block and part. A stop the sink asks for ends the run at the next boundary
// (Interrupted).
//
// A front end that has checked the file whole itself, through a reader of the same unchanged
// file (several printers, one file), passes fileChecked: the printer's checks and the probe are
// made as ever, the walk over every block is not made again. It may also pass a supplier that
// hands every printer's walk the blocks unpacked once for all of them (SharedUnpacking); the
// buffers then need only kFramingBytes (file) and none (inflate).
FirmwareOutcome CheckAndSendFirmware(PrinterConnection &connection, const FirmwareSource &file,
                                     unsigned char *fileBuffer, unsigned char *inflateBuffer,
                                     UpgradeRun *run, unsigned char *transferBuffer = nullptr,
                                     bool fileChecked = false,
                                     const FirmwareChunkSupplier *supplier = nullptr);

// A multi-part package from file, with one part buffer (kPartBufferSize): the device id,
// product code and firmware version checks, every part checked, then the parts sent with their
// pauses (a held transport stays held through them). A file that no longer starts like a
// multi-part package is refused as unreadable. With a supplier (as for CheckAndSendFirmware) the
// part buffer needs only kFramingBytes.
FirmwareOutcome CheckAndSendParts(PrinterConnection &connection, const FirmwareSource &file,
                                  unsigned char *partBuffer, UpgradeRun *run,
                                  bool fileChecked = false,
                                  const FirmwareChunkSupplier *supplier = nullptr);

// The words the program ends a successful run with (kPaneUnits units): the printer restarts by
// itself (UI text 32), with the model's note in front for a family-1 model of a category; for a
// firmware-only device, that it leaves boot mode (internal string 129).
void ComposeUpgradeMessage(const PrinterConnection &connection, const UpgradeRun &run,
                           wchar_t *message);
// The same for a multi-part package: all its parts were sent (internal string 131).
void ComposePartsSentMessage(const PrinterConnection &connection, wchar_t *message);
