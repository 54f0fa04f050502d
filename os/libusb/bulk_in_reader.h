// How the transfers of a printer's bulk IN endpoint become the reads of PrinterTransport::Read:
// a reply block per transfer, as the usblp driver hands them over. Apart from libusb, so that
// it can be tried without a device.
//
// USB ends an IN transfer at a short packet, or when it has as many bytes as it asked for. A
// reply block that fills its last packet has no short packet: the printer may follow it with a
// zero-length packet, or send nothing more (many do). So a transfer asks for whole packets up to
// the read's capacity and no more, and then ends with the block's last packet either way. Where
// the printer does send the zero-length packet, that packet would end the next transfer empty:
// it is passed over once, right after a transfer that filled what it asked for, and at the start
// of a connection (the connection before it may have read such a block last).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class BulkInReader {
 public:
  // One IN transfer of length bytes into buffer, waiting timeoutMs at most (0: as long as it
  // takes): true when it completed, false when it did not (timed out, cancelled, failed), with
  // *actual the bytes that arrived either way.
  using Transfer = std::function<bool(unsigned char *buffer, size_t length, uint32_t timeoutMs,
                                      size_t *actual)>;

  // A new connection to an endpoint of packetBytes packets.
  void Start(size_t packetBytes);

  // One read of at most capacity bytes: what is left of the last transfer's block, or the next
  // block. Bytes that arrived before a transfer timed out or was cancelled are the block: they
  // were sent, and a read that dropped them would lose them for good. False only when no byte
  // came.
  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs, uint32_t *count,
            const Transfer &transfer);

 private:
  size_t packetBytes_ = 512;
  bool zeroLengthDue_ = true;
  std::vector<unsigned char> incoming_;
  size_t from_ = 0, to_ = 0;  // the last block's bytes not read yet
};
