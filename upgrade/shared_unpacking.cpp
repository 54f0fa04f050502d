// One firmware file unpacked once for several printers.
#include "upgrade/shared_unpacking.h"

#include <algorithm>
#include <cstring>
#include <new>


struct SharedUnpacking::Chunk {
  SuppliedChunk supplied;
  uint32_t length;
  std::unique_ptr<unsigned char[]> bytes;
};

namespace {

// The most stored bytes one chunk has: a part.
constexpr size_t kStoredBytes = std::max({size_t{kMaxPartLength}, size_t{kMaxFirstBlockLength},
                                          size_t{kMaxBlockLength}, size_t{kRawImageReadLength}});

}  // namespace

SharedUnpacking::SharedUnpacking(const FirmwareSource &file, const unsigned char *productCode,
                                 size_t keptBytes)
    : file_(file), keptBytes_(keptBytes) {
  if (productCode != nullptr) std::memcpy(productCode_, productCode, kProductCodeLength);
}

// What is kept goes before the counts its going changes.
SharedUnpacking::~SharedUnpacking() { entries_.clear(); }

SharedUnpacking::Share::Share(SharedUnpacking &unpacking)
    : unpacking_(unpacking),
      supplier_{this,
                [](void *context, FirmwareKind kind, uint32_t index, uint32_t offset,
                   uint32_t storedLength, SuppliedChunk *chunk) {
                  auto *share = static_cast<Share *>(context);
                  return share->unpacking_.Take(
                      share, Key(static_cast<int>(kind), index, offset, storedLength), chunk);
                },
                [](void *context) {
                  auto *share = static_cast<Share *>(context);
                  share->unpacking_.Give(share);
                }} {
  std::lock_guard<std::mutex> lock(unpacking_.mutex_);
  unpacking_.walkers_[this];
}

SharedUnpacking::Share::~Share() {
  std::shared_ptr<const Chunk> last;  // let go outside the lock
  std::lock_guard<std::mutex> lock(unpacking_.mutex_);
  last = std::move(unpacking_.walkers_[this].held);
  unpacking_.walkers_.erase(this);
  unpacking_.KeepLocked();
}

bool SharedUnpacking::Take(Share *share, const Key &key, SuppliedChunk *supplied) {
  std::shared_ptr<const Chunk> chunk, last;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!chunk) {
    Entry &entry = entries_[key];
    chunk = entry.chunk.lock();
    if (chunk) break;
    if (entry.unpacking) {
      unpacked_.wait(lock);
      continue;
    }
    // The first walk to need it unpacks it; the others wait for that, not for one another.
    entry.unpacking = true;
    lock.unlock();
    chunk = Unpack(key);
    lock.lock();
    Entry &done = entries_[key];
    done.unpacking = false;
    unpacked_.notify_all();
    if (!chunk) return false;
    done.chunk = chunk;
    done.kept = chunk;
    keptTotal_ += chunk->length;
  }
  Walker &walker = walkers_[share];
  last = std::move(walker.held);
  walker.held = chunk;
  walker.started = true;
  walker.passed = key;
  *supplied = chunk->supplied;
  KeepLocked();
  return true;
}

void SharedUnpacking::Give(Share *share) {
  std::shared_ptr<const Chunk> last;
  std::lock_guard<std::mutex> lock(mutex_);
  last = std::move(walkers_[share].held);
  KeepLocked();
}

// A chunk is kept while a walk has yet to take it: a walk that has not started, or one whose
// last chunk comes before it. Beyond the bound, what only the slowest walks still need goes
// first.
void SharedUnpacking::KeepLocked() {
  bool anyNotStarted = false;
  bool any = false;
  Key slowest;
  for (const auto &each : walkers_) {
    if (!each.second.started) {
      anyNotStarted = true;
    } else if (!any || each.second.passed < slowest) {
      slowest = each.second.passed;
      any = true;
    }
  }
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    Entry &e = entry->second;
    const bool needed = anyNotStarted || (any && !(entry->first < slowest));
    if (e.kept && (!needed || keptTotal_ > keptBytes_)) {
      keptTotal_ -= e.kept->length;
      e.kept.reset();
    }
    if (!e.kept && !e.unpacking && e.chunk.expired()) {
      entry = entries_.erase(entry);
    } else {
      ++entry;
    }
  }
}

void SharedUnpacking::Counted(size_t bytes) {
  const size_t now = heldBytes_ += bytes;
  size_t peak = peakBytes_;
  while (now > peak && !peakBytes_.compare_exchange_weak(peak, now)) {
  }
}

std::shared_ptr<const SharedUnpacking::Chunk> SharedUnpacking::Unpack(const Key &key) {
  const FirmwareKind kind = static_cast<FirmwareKind>(std::get<0>(key));
  const uint32_t offset = std::get<2>(key);
  const uint32_t storedLength = std::get<3>(key);
  std::lock_guard<std::mutex> lock(fileMutex_);
  if (!stored_) stored_.reset(new (std::nothrow) unsigned char[kStoredBytes]);
  if (!inflated_) inflated_.reset(new (std::nothrow) unsigned char[kInflateBufferSize]);
  if (!stored_ || !inflated_ || storedLength > kStoredBytes) return nullptr;
  ++unpackings_;

  uint32_t got = 0;
  const bool read = file_.Seek(file_.context, offset) &&
                    file_.Read(file_.context, stored_.get(), storedLength, &got);
  SuppliedChunk supplied = UnpackStoredChunk(kind, productCode_, stored_.get(), storedLength,
                                             read, read ? got : 0, inflated_.get());
  const unsigned char *from = supplied.data;
  // What is handed on: a raw read's bytes, a whole part, an inflated block; a chunk the file
  // holds only in part, or a block that does not inflate, is never handed on.
  uint32_t length = supplied.got;
  if (kind != FirmwareKind::RawImage && (!supplied.read || supplied.got < storedLength)) length = 0;
  if (kind == FirmwareKind::SingleImage && length > 0) {
    length = supplied.inflated < 0 ? 0 : static_cast<uint32_t>(supplied.inflated);
  }

  std::unique_ptr<Chunk> chunk(new (std::nothrow) Chunk{supplied, length, nullptr});
  if (!chunk) return nullptr;
  chunk->bytes.reset(new (std::nothrow) unsigned char[length > 0 ? length : 1]);
  if (!chunk->bytes) return nullptr;
  if (length > 0) std::memcpy(chunk->bytes.get(), from, length);
  chunk->supplied.data = chunk->bytes.get();
  Counted(length);
  return std::shared_ptr<const Chunk>(chunk.release(), [this](const Chunk *gone) {
    heldBytes_ -= gone->length;
    delete gone;
  });
}
