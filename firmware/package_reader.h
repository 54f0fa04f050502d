// The whole-file walk of a firmware file, in the order and with the checks of the upgrade run
// and the multi-part run: header and whole-file limits, recognition, product code, first-block
// probe, then every block, raw read or part (byte level, no Windows headers).
//
// The walk owns no buffer and touches no device: the file comes through a FirmwareSource, the
// printer-side steps (compatibility checks, progress, the transfer) through FirmwareWalkHooks.
// The upgrade run supplies its file and its printer-side steps this way; the package tool's
// inspect command and the fuzz target walk files through here too.
#pragma once

#include <cstdint>

#include "firmware/package.h"

// The file being walked. Every function returns false on an I/O error.
struct FirmwareSource {
  void *context;
  // Reads count bytes at the current position into out and sets *got; fewer than count (none
  // included) only at the end of the file.
  bool (*Read)(void *context, unsigned char *out, uint32_t count, uint32_t *got);
  // Positions the file at offset from its start.
  bool (*Seek)(void *context, uint32_t offset);
  bool (*Size)(void *context, uint64_t *size);
};

// One chunk's bytes as a supplier hands them to a walk (FirmwareChunkSupplier).
struct SuppliedChunk {
  bool read;                  // the stored bytes could be read
  uint32_t got;               // how many of the stored bytes the file held
  int32_t inflated;           // a block's InflateBlock result: its length, or a failure
  const unsigned char *data;  // what is sent: the inflated block, the raw read, the decrypted
                              // part; valid until the chunk is given back
};

// Where a walk gets the bytes of each chunk when several walks of one unchanged, checked file
// share them (several printers, one file): a block read and inflated, a raw read, a part read
// and decrypted, each made once for all of them instead of once for each, in buffers of the
// supplier's. The walk still reads the file's framing (headers, lengths) itself.
struct FirmwareChunkSupplier {
  void *context;
  // The chunk of index whose stored bytes are storedLength bytes at offset in the file. False
  // when the supplier has no memory for it (the walk refuses it as a failed read).
  bool (*Take)(void *context, FirmwareKind kind, uint32_t index, uint32_t offset,
               uint32_t storedLength, SuppliedChunk *chunk);
  // The walk is done with the chunk it took last.
  void (*Give)(void *context);
};

// What a chunk's stored bytes make, as the walk makes it: a block's head decrypted and the block
// inflated into inflated (kInflateBufferSize), a part decrypted in place, a raw read as it is.
// stored holds the got bytes a read of storedLength brought (read: whether it succeeded); a block
// or part the file holds only in part is neither decrypted nor inflated. A supplier makes its
// chunks with this, so that they are the walk's own bytes.
SuppliedChunk UnpackStoredChunk(FirmwareKind kind, const unsigned char *productCode,
                                unsigned char *stored, uint32_t storedLength, bool read,
                                uint32_t got, unsigned char *inflated);

// The run's buffers, allocated by the caller: file kFileBufferSize, inflate kInflateBufferSize,
// part kPartBufferSize (needed for a multi-part package only; null refuses one as OpenFailed).
// With a supplier, the walk reads only framing into them: file and part need kFramingBytes, and
// inflate is not used.
struct FirmwareBuffers {
  unsigned char *file;
  unsigned char *inflate;
  unsigned char *part;
  const FirmwareChunkSupplier *supplier = nullptr;
};
constexpr size_t kFramingBytes = 64;

// Where a walk stopped. Each failure has its failure text (FirmwareFailureText); those from
// LoopSeekFailed on arise in the transfer loop and are reported in the composed loop form.
enum class FirmwareOutcome {
  Accepted,
  // Before the transfer loop.
  OpenFailed,               // the multi-part run cannot go back to the start of the file
  HeaderReadFailed,         // the first 32 bytes (or a multi-part package's 44) cannot be read
  FileSizeRefused,          // size unknown, below 32 bytes or above 1 GiB
  ProductCodeRefused,       // CheckProductCode refused and has reported it
  FirstBlockLengthRefused,  // first_block_length 0 or above 5,242,880
  ProbeSeekFailed,
  FirstBlockReadFailed,     // failed or short
  FirstBlockInflateFailed,
  ContentNotRecognised,     // raw image or inflated first block not firmware
  DescriptorReadFailed,     // fewer than 44 bytes of a multi-part package
  PartCountRefused,         // part_count is not one decimal digit
  DescriptorRefused,        // a multi-part check refused and has reported it
  // The upgrade run's own (the walk never gives it).
  Interrupted,              // the front end asked the run to stop, before or during the transfer
  // In the transfer loop.
  LoopSeekFailed,
  BlockLengthReadFailed,
  BlockLengthShort,         // 1 to 3 bytes where a block_length belongs
  BlockTooLong,             // block_length above 4,194,304
  BlockReadFailed,
  BlockShort,               // fewer bytes than block_length
  BlockInflateFailed,
  RawReadFailed,
  PartHeaderShort,          // failed read or fewer than 5 bytes of a part header
  PartDelayRefused,         // delay_seconds 0 or above 120
  PartTooLong,              // part_length above 8,388,608
  PartReadFailed,           // failed or short
  PartNotRecognised,        // decrypted part does not begin with "\x1B%"
  TransferFailed,
};

// One run of bytes handed to the printer.
struct FirmwareChunk {
  uint32_t index;         // block, raw read or part, counted from 0
  uint32_t storedLength;  // block_length, part_length or the bytes of one raw read
  const unsigned char *data;
  uint32_t length;        // inflated length for a block; storedLength otherwise
  uint8_t delaySeconds;   // multi-part packages only
};

// A refusal, with what caused it.
struct FirmwareRefusal {
  FirmwareOutcome outcome;
  uint32_t index;         // block or part number, for failures tied to one
  uint32_t value;         // the offending length or delay, or the bytes a short read returned
  int32_t inflateResult;  // the InflateBlock failure, for the two inflation outcomes
};

// Every hook may be null: a null check passes, a null StartTransfer goes on, a null Send
// succeeds, a null Refused stops.
struct FirmwareWalkHooks {
  void *context;
  // The decrypted product_code of a single-image package; 0 passes.
  int (*CheckProductCode)(void *context, const unsigned char *productCode);
  // The decrypted descriptor of a multi-part package; 0 passes.
  int (*CheckDescriptor)(void *context, const unsigned char *descriptor);
  // The checks have passed and the loop is about to start: total is image_size, the file size
  // or the part count. False ends the walk there, with the file accepted so far (a check of the
  // file before anything is sent has nothing more to read in a raw image).
  bool (*StartTransfer)(void *context, FirmwareKind kind, uint32_t total);
  // Sends one chunk; false when the transfer failed. A multi-part run waits delaySeconds here.
  bool (*Send)(void *context, const FirmwareChunk *chunk);
  // Told of every refusal; true keeps the walk going wherever the file's framing still holds
  // (a later block or part can still be found), so an inspection can list every problem. The
  // upgrade run stops at the first.
  bool (*Refused)(void *context, const FirmwareRefusal *refusal);
};

// What a walk found out.
struct FirmwareWalk {
  FirmwareKind kind;
  uint64_t fileSize;
  uint32_t total;        // as passed to StartTransfer
  unsigned char productCode[kProductCodeLength];
  unsigned char descriptor[kDescriptorLength];
  bool probed;           // the first block of a single-image package was inflated
  int32_t probeResult;   // its inflated length or InflateBlock failure
  uint32_t chunksSent;
  uint64_t bytesSent;
  FirmwareRefusal firstRefusal;  // outcome Accepted when there was none
};

// Walks the whole file from its start. Returns the first refusal's outcome, or Accepted.
FirmwareOutcome WalkFirmwareFile(const FirmwareSource *source, const FirmwareBuffers *buffers,
                                 const FirmwareWalkHooks *hooks, FirmwareWalk *walk);

// The internal string of the failure text for an outcome; -1 for Accepted and for the two
// refusals that the checks report themselves.
int FirmwareFailureText(FirmwareOutcome outcome);

// True for failures of the transfer loop, reported in the composed form.
bool IsLoopFailure(FirmwareOutcome outcome);
