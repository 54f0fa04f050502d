// One firmware file unpacked once for several printers that take it at once: each block is read
// and inflated (each part decrypted, each raw read made) by the first printer's walk that needs
// it, and handed to every other walk from memory. No printer waits for another's pace: a chunk
// stays while some printer still has it to send, within a bound; beyond the bound the chunks
// that only the slowest printers still need are let go, and those printers unpack them again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "firmware/package.h"
#include "firmware/package_reader.h"

class SharedUnpacking {
 public:
  // The file as it was checked whole (read here alone, one chunk at a time), the product code
  // its blocks and parts are decrypted with (null for a raw image), and how many bytes of
  // unpacked chunks are kept at most for printers that have yet to send them.
  SharedUnpacking(const FirmwareSource &file, const unsigned char *productCode,
                  size_t keptBytes);
  ~SharedUnpacking();
  SharedUnpacking(const SharedUnpacking &) = delete;
  SharedUnpacking &operator=(const SharedUnpacking &) = delete;

  // One printer's walk: the supplier its buffers hand the walk, for as long as the share lives.
  // Made before the walk starts and let go when it has ended, so that what the walk has yet to
  // send is kept for it meanwhile.
  class Share {
   public:
    explicit Share(SharedUnpacking &unpacking);
    ~Share();
    Share(const Share &) = delete;
    Share &operator=(const Share &) = delete;
    const FirmwareChunkSupplier *Supplier() const { return &supplier_; }

   private:
    friend class SharedUnpacking;
    SharedUnpacking &unpacking_;
    FirmwareChunkSupplier supplier_;
  };

  // How many chunks were unpacked, and the most bytes of unpacked chunks in memory at once.
  uint64_t Unpackings() const { return unpackings_; }
  size_t PeakBytes() const { return peakBytes_; }

 private:
  struct Chunk;
  // A chunk of the file: its kind, its index, where its stored bytes start and how many.
  using Key = std::tuple<int, uint32_t, uint32_t, uint32_t>;
  struct Entry {
    std::weak_ptr<const Chunk> chunk;
    std::shared_ptr<const Chunk> kept;  // while some printer still has it to send
    bool unpacking = false;
  };
  struct Walker {
    std::shared_ptr<const Chunk> held;  // the chunk the walk took last
    bool started = false;
    Key passed;                         // that chunk's key
  };

  bool Take(Share *share, const Key &key, SuppliedChunk *chunk);
  void Give(Share *share);
  std::shared_ptr<const Chunk> Unpack(const Key &key);
  void KeepLocked();
  void Counted(size_t bytes);

  FirmwareSource file_;
  unsigned char productCode_[kProductCodeLength] = {};
  size_t keptBytes_;

  std::mutex mutex_;
  std::condition_variable unpacked_;
  std::map<Key, Entry> entries_;
  std::map<Share *, Walker> walkers_;
  size_t keptTotal_ = 0;

  std::mutex fileMutex_;  // one unpacking at a time: the file and these buffers are shared
  std::unique_ptr<unsigned char[]> stored_, inflated_;

  std::atomic<uint64_t> unpackings_{0};
  std::atomic<size_t> heldBytes_{0}, peakBytes_{0};
};
