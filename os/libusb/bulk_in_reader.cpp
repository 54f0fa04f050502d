// The reads of a printer's bulk IN endpoint, a reply block per transfer.
#include "os/libusb/bulk_in_reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>

void BulkInReader::Start(size_t packetBytes) {
  packetBytes_ = packetBytes > 0 ? packetBytes : 1;
  zeroLengthDue_ = true;
  from_ = to_ = 0;
}

bool BulkInReader::Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
                        uint32_t *count, const Transfer &transfer) {
  using Clock = std::chrono::steady_clock;
  *count = 0;
  if (from_ == to_) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Whole packets: a block longer than the capacity is kept for the next reads, as the usblp
    // driver keeps the rest of its buffer.
    const size_t packets = std::max<size_t>(1, (capacity + packetBytes_ - 1) / packetBytes_);
    const size_t length = packets * packetBytes_;
    if (incoming_.size() < length) incoming_.resize(length);
    uint32_t wait = timeoutMs;
    size_t actual = 0;
    bool completed;
    for (;;) {
      actual = 0;
      completed = transfer(incoming_.data(), length, wait, &actual);
      const bool passedOver = completed && actual == 0 && zeroLengthDue_;
      zeroLengthDue_ = actual == length;
      if (!passedOver) break;
      if (timeoutMs > 0) {
        // What is left of the read's time, and at least a moment: 0 would wait for ever.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        wait = static_cast<uint32_t>(std::max<long long>(1, left.count()));
      }
    }
    if (!completed && actual == 0) return false;
    from_ = 0;
    to_ = actual;
  }
  const size_t taken = std::min<size_t>(capacity, to_ - from_);
  if (taken > 0) std::memcpy(buffer, incoming_.data() + from_, taken);
  from_ += taken;
  *count = static_cast<uint32_t>(taken);
  return true;
}
