// A walk's chunks unpacked one ahead.
#include "upgrade/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "firmware/package_decode.h"

namespace {

// The most stored bytes one chunk has: a part.
constexpr size_t kStoredBytes = std::max({size_t{kMaxPartLength}, size_t{kMaxFirstBlockLength},
                                          size_t{kMaxBlockLength}, size_t{kRawImageReadLength}});

bool ReadAt(const FirmwareSource &file, uint64_t offset, unsigned char *out, uint32_t count,
            uint32_t *got) {
  *got = 0;
  return offset <= UINT32_MAX && file.Seek(file.context, static_cast<uint32_t>(offset)) &&
         file.Read(file.context, out, count, got);
}

}  // namespace

ReadAheadUnpacking::ReadAheadUnpacking(const FirmwareSource &file) : file_(file) {
  supplier_ = {this,
               [](void *context, FirmwareKind kind, uint32_t index, uint32_t offset,
                  uint32_t storedLength, SuppliedChunk *chunk) {
                 Key key;
                 key.kind = static_cast<int>(kind);
                 key.index = index;
                 key.offset = offset;
                 key.storedLength = storedLength;
                 return static_cast<ReadAheadUnpacking *>(context)->Take(key, chunk);
               },
               // What the walk gives back stays: it may take the same chunk again (the probe's
               // block is the transfer loop's first).
               [](void *) {}};
  // The kind and the product code, as the walk finds them, so that the worker can decrypt.
  unsigned char header[kMultiPartHeaderLength] = {};
  uint32_t got = 0;
  if (file_.Size(file_.context, &size_) &&
      ReadAt(file_, 0, header, kMultiPartHeaderLength, &got) && got >= kFirmwareHeaderLength) {
    kind_ = RecogniseFirmwareFile(header);
    if (kind_ == FirmwareKind::SingleImage) {
      DecryptHeaderField(productCode_, kProductCodeLength, header);
    } else if (kind_ == FirmwareKind::MultiPart && got == kMultiPartHeaderLength) {
      unsigned char descriptor[kDescriptorLength];
      DecryptHeaderField(descriptor, kDescriptorLength, header);
      std::memcpy(productCode_, descriptor + kDescriptorProductCode, kProductCodeLength);
    }
  }
  worker_ = std::thread(&ReadAheadUnpacking::Work, this);
}

ReadAheadUnpacking::~ReadAheadUnpacking() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

bool ReadAheadUnpacking::Take(const Key &key, SuppliedChunk *chunk) {
  if (current_ == nullptr || !(current_->key == key)) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The walk has given back what it held: the worker's chunk when it is the one.
    changed_.wait(lock, [&] { return !pending_ && !working_; });
    if (workers_.key == key) {
      current_ = &workers_;
    } else {
      Key next;
      if (Next(key, &next)) {
        workers_.key = next;
        pending_ = true;
        changed_.notify_all();
      }
      lock.unlock();
      Unpack(mine_, key);
      current_ = &mine_;
    }
  }
  if (current_->chunk.data == nullptr) return false;  // no memory for it
  *chunk = current_->chunk;
  return true;
}

bool ReadAheadUnpacking::Next(const Key &key, Key *next) {
  const uint64_t after = static_cast<uint64_t>(key.offset) + key.storedLength;
  next->kind = key.kind;
  next->index = key.index + 1;
  switch (static_cast<FirmwareKind>(key.kind)) {
    case FirmwareKind::RawImage:
      if (after >= size_) return false;
      next->offset = static_cast<uint32_t>(after);
      next->storedLength = kRawImageReadLength;
      return true;
    case FirmwareKind::SingleImage:
    case FirmwareKind::MultiPart: {
      const bool part = key.kind == static_cast<int>(FirmwareKind::MultiPart);
      const uint32_t headerBytes = part ? kPartHeaderLength : kBlockLengthSize;
      unsigned char header[kPartHeaderLength];
      uint32_t got = 0;
      bool read;
      {
        std::lock_guard<std::mutex> lock(fileMutex_);
        read = after + headerBytes <= size_ && ReadAt(file_, after, header, headerBytes, &got);
      }
      if (!read || got < headerBytes) return false;
      const uint32_t length = ReadLittleEndian32(header + (part ? kPartLengthOffset : 0));
      // Framing the walk will refuse is none of this object's business.
      if (length == 0 || length > (part ? kMaxPartLength : kMaxBlockLength) ||
          after + headerBytes + length > size_) {
        return false;
      }
      next->offset = static_cast<uint32_t>(after + headerBytes);
      next->storedLength = length;
      return true;
    }
  }
  return false;
}

void ReadAheadUnpacking::Unpack(Slot &slot, const Key &key) {
  slot.key = key;
  slot.chunk = {false, 0, -1, nullptr};
  if (!slot.stored) slot.stored.reset(new (std::nothrow) unsigned char[kStoredBytes]);
  if (!slot.inflated) slot.inflated.reset(new (std::nothrow) unsigned char[kInflateBufferSize]);
  if (!slot.stored || !slot.inflated || key.storedLength > kStoredBytes) return;
  uint32_t got = 0;
  bool read;
  {
    std::lock_guard<std::mutex> lock(fileMutex_);
    read = ReadAt(file_, key.offset, slot.stored.get(), key.storedLength, &got);
  }
  slot.chunk = UnpackStoredChunk(static_cast<FirmwareKind>(key.kind), productCode_,
                                 slot.stored.get(), key.storedLength, read, got,
                                 slot.inflated.get());
}

void ReadAheadUnpacking::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return pending_ || ending_; });
    if (ending_) return;
    pending_ = false;
    working_ = true;
    const Key key = workers_.key;
    // Its slot is the worker's alone until it is done: the walk waits for that before it takes
    // anything that is not its own thread's.
    lock.unlock();
    Unpack(workers_, key);
    lock.lock();
    working_ = false;
    changed_.notify_all();
  }
}
