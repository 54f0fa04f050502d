// A walk's chunks unpacked two at a time: while the walk's own thread reads and inflates one
// block (or part), a thread of this object's does the next, so that the check of a whole file
// takes the time of one processor's unpacking spread over two. The bytes are those the walk
// would make itself; it judges them as ever. For the check of a file before anything is sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "firmware/package.h"
#include "firmware/package_reader.h"

class ReadAheadUnpacking {
 public:
  // file: a source of its own (never the walk's), read here alone.
  explicit ReadAheadUnpacking(const FirmwareSource &file);
  ~ReadAheadUnpacking();
  ReadAheadUnpacking(const ReadAheadUnpacking &) = delete;
  ReadAheadUnpacking &operator=(const ReadAheadUnpacking &) = delete;

  const FirmwareChunkSupplier *Supplier() const { return &supplier_; }

 private:
  struct Key {
    int kind = -1;
    uint32_t index = 0, offset = 0, storedLength = 0;
    bool operator==(const Key &other) const {
      return kind == other.kind && index == other.index && offset == other.offset &&
             storedLength == other.storedLength;
    }
  };
  struct Slot {
    Key key;
    SuppliedChunk chunk = {false, 0, -1, nullptr};
    std::unique_ptr<unsigned char[]> stored, inflated;
  };

  bool Take(const Key &key, SuppliedChunk *chunk);
  // Reads, decrypts and inflates (a part: decrypts; a raw read: reads) into the slot, as the
  // walk does into its own buffers; the file is read under fileMutex_, the rest beside it.
  void Unpack(Slot &slot, const Key &key);
  // Where the chunk after this one stands, from the framing that follows it.
  bool Next(const Key &key, Key *next);
  void Work();

  FirmwareSource file_;
  uint64_t size_ = 0;
  FirmwareKind kind_ = FirmwareKind::RawImage;
  unsigned char productCode_[kProductCodeLength] = {};
  FirmwareChunkSupplier supplier_;

  // Every other chunk is the worker's, the others the walk's own thread unpacks meanwhile.
  Slot mine_, workers_;
  Slot *current_ = nullptr;  // the slot handed to the walk last
  std::mutex fileMutex_;
  std::mutex mutex_;  // the worker's job, its slot and its end
  std::condition_variable changed_;
  bool pending_ = false, working_ = false, ending_ = false;
  std::thread worker_;
};
