// A firmware file unpacked once for several printers' walks: every walk sends exactly what a walk
// of its own would, each chunk is unpacked once while the walks keep pace, a walk that falls
// behind holds back no other, and memory stays within the bound whatever the paces.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes/package_test_support.h"
#include "upgrade/read_ahead.h"
#include "upgrade/shared_unpacking.h"

namespace {

using package_test::Bytes;
using package_test::FirmwareLike;
using package_test::MemoryFile;
using package_test::MemorySource;
using package_test::Text;

const char kCode[] = "KV30100A01";

// One printer's walk through a share: what it sends, in order, and how it ended.
struct Walk {
  Bytes sent;
  std::vector<uint8_t> delays;
  FirmwareOutcome outcome = FirmwareOutcome::OpenFailed;
  // Called before each chunk is sent: a walk may wait there, as a slow printer does.
  std::function<void(uint32_t index)> beforeSend;
};

void WalkShared(const Bytes &file, SharedUnpacking::Share &share, Walk *walk) {
  MemoryFile memory{file.data(), file.size()};
  const FirmwareSource source = MemorySource(&memory);
  unsigned char framing[kFramingBytes], partFraming[kFramingBytes];
  const FirmwareBuffers buffers = {framing, nullptr, partFraming, share.Supplier()};
  FirmwareWalkHooks hooks = {};
  hooks.context = walk;
  hooks.Send = [](void *context, const FirmwareChunk *chunk) {
    auto *w = static_cast<Walk *>(context);
    if (w->beforeSend) w->beforeSend(chunk->index);
    w->sent.insert(w->sent.end(), chunk->data, chunk->data + chunk->length);
    w->delays.push_back(chunk->delaySeconds);
    return true;
  };
  FirmwareWalk found = {};
  walk->outcome = WalkFirmwareFile(&source, &buffers, &hooks, &found);
}

Bytes Package(const Bytes &image, uint32_t blockBytes) {
  return BuildSingleImagePackage(Text(kCode), image.data(), image.size(), blockBytes, 6);
}

// A multi-part file of the model: part1 of type 3, part2 of type 4.
Bytes MultiPart(const Bytes &part1, const Bytes &part2) {
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, Text(kCode), Text("3.01.22"), Text("4B56015C"), '2');
  Bytes parts;
  AppendMultiPartHeader(parts, descriptor);
  AppendPart(parts, Text(kCode), 3, part1.data(), part1.size());
  AppendPart(parts, Text(kCode), 4, part2.data(), part2.size());
  return parts;
}

// Four walks at once, of each kind of file: each sends the image (the parts) whole, and with
// their shares made before they start, each chunk is unpacked once.
TEST(SharedUnpacking, EveryWalkSendsTheWholeImageAndEachChunkIsUnpackedOnce) {
  const Bytes image = FirmwareLike(600000, 0x1B, 3);
  Bytes part1 = FirmwareLike(70000, 0x1B, 5), part2 = FirmwareLike(30000, 0x1B, 7);
  part1[1] = part2[1] = '%';
  const Bytes parts = MultiPart(part1, part2);
  Bytes raw = FirmwareLike(kRawImageReadLength + 1000, 0x1B, 9);

  struct Case {
    const char *name;
    Bytes file;
    bool raw;
    Bytes expected;
    uint64_t chunks;
  };
  Bytes bothParts = part1;
  bothParts.insert(bothParts.end(), part2.begin(), part2.end());
  const std::vector<Case> cases = {
      {"single image", Package(image, 65536), false, image, (image.size() + 65535) / 65536},
      {"multi-part", parts, false, bothParts, 2},
      // Two reads, and the one that finds the end of the file.
      {"raw image", raw, true, raw, 3},
  };
  for (const Case &c : cases) {
    MemoryFile memory{c.file.data(), c.file.size()};
    SharedUnpacking unpacking(MemorySource(&memory), c.raw ? nullptr : Text(kCode), 64u << 20);
    std::vector<std::unique_ptr<SharedUnpacking::Share>> shares;
    std::vector<Walk> walks(4);
    for (size_t i = 0; i < walks.size(); ++i) {
      shares.emplace_back(new SharedUnpacking::Share(unpacking));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < walks.size(); ++i) {
      threads.emplace_back(WalkShared, std::cref(c.file), std::ref(*shares[i]), &walks[i]);
    }
    for (std::thread &thread : threads) thread.join();
    for (const Walk &walk : walks) {
      EXPECT_EQ(walk.outcome, FirmwareOutcome::Accepted) << c.name;
      EXPECT_TRUE(walk.sent == c.expected) << c.name;
    }
    if (!c.raw && c.expected == bothParts) {
      EXPECT_EQ(walks[0].delays, (std::vector<uint8_t>{3, 4})) << c.name;
    }
    EXPECT_EQ(unpacking.Unpackings(), c.chunks) << c.name;
  }
}

// A walk that stops at its first block (a printer that stalls) keeps no other from finishing,
// and with a bound of one block, memory stays near it: the chunks only the slow walk still needs
// are let go and unpacked again for it, and it still sends every byte in order.
TEST(SharedUnpacking, ASlowWalkHoldsBackNoOtherAndTheBoundHolds) {
  const Bytes image = FirmwareLike(1 << 20, 0x1B, 11);
  const Bytes file = Package(image, 65536);
  MemoryFile memory{file.data(), file.size()};
  SharedUnpacking unpacking(MemorySource(&memory), Text(kCode), 65536);
  SharedUnpacking::Share slowShare(unpacking), fastShare(unpacking);

  std::mutex mutex;
  std::condition_variable released;
  bool go = false;
  std::atomic<bool> slowWaiting{false};
  Walk slow, fast;
  slow.beforeSend = [&](uint32_t index) {
    if (index != 0) return;
    slowWaiting = true;
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [&] { return go; });
  };
  std::thread slowThread(WalkShared, std::cref(file), std::ref(slowShare), &slow);
  while (!slowWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The fast walk runs to its end on this thread while the slow one waits in its first block.
  WalkShared(file, fastShare, &fast);
  EXPECT_EQ(fast.outcome, FirmwareOutcome::Accepted);
  EXPECT_TRUE(fast.sent == image);
  // The slow walk's block, the one being unpacked or just handed on, and the bound.
  EXPECT_LE(unpacking.PeakBytes(), 4u * 65536) << unpacking.PeakBytes();
  {
    std::lock_guard<std::mutex> lock(mutex);
    go = true;
  }
  released.notify_all();
  slowThread.join();
  EXPECT_EQ(slow.outcome, FirmwareOutcome::Accepted);
  EXPECT_TRUE(slow.sent == image);
  EXPECT_GT(unpacking.Unpackings(), 16u);  // the slow walk unpacked what it had been let go
}

// The store's file failing to read is the walk's failed read: refused, nothing sent from it.
TEST(SharedUnpacking, AReadThatFailsIsRefusedAsTheWalksOwnWouldBe) {
  const Bytes image = FirmwareLike(200000, 0x1B, 13);
  const Bytes file = Package(image, 65536);
  MemoryFile broken{file.data(), file.size()};
  broken.readErrorAt = 2;  // the store's second unpacking
  SharedUnpacking unpacking(MemorySource(&broken), Text(kCode), 64u << 20);
  SharedUnpacking::Share share(unpacking);
  Walk walk;
  WalkShared(file, share, &walk);
  EXPECT_EQ(walk.outcome, FirmwareOutcome::BlockReadFailed);
  EXPECT_TRUE(walk.sent == Bytes(image.begin(), image.begin() + 65536));
}

}  // namespace

namespace {

// What a walk saw: the outcome, its first refusal, and the bytes of every chunk.
struct Seen {
  FirmwareOutcome outcome;
  FirmwareRefusal refusal;
  Bytes sent;
};

Seen WalkWith(const Bytes &file, const FirmwareChunkSupplier *supplier) {
  MemoryFile memory{file.data(), file.size()};
  const FirmwareSource source = MemorySource(&memory);
  const FirmwareBuffers &own = package_test::SharedBuffers();
  const FirmwareBuffers buffers = {own.file, own.inflate, own.part, supplier};
  Seen seen;
  FirmwareWalkHooks hooks = {};
  hooks.context = &seen.sent;
  hooks.Send = [](void *context, const FirmwareChunk *chunk) {
    auto *sent = static_cast<Bytes *>(context);
    sent->insert(sent->end(), chunk->data, chunk->data + chunk->length);
    return true;
  };
  FirmwareWalk walk = {};
  seen.outcome = WalkFirmwareFile(&source, &buffers, &hooks, &walk);
  seen.refusal = walk.firstRefusal;
  return seen;
}

}  // namespace

// A check with the next chunk unpacked ahead sees exactly what a walk of its own sees, good
// files and damaged ones alike: the same bytes, the same verdict, the same block named.
TEST(ReadAheadUnpacking, AWalkSeesWhatItWouldSeeAlone) {
  const Bytes image = FirmwareLike(700000, 0x1B, 17);
  const Bytes good = Package(image, 65536);
  Bytes damaged = good;
  damaged[good.size() / 2] ^= 0x40;  // a block in the middle no longer inflates
  Bytes cut = good;
  cut.resize(good.size() - 1000);
  Bytes lying = good;
  // The second block's length field claims more than the file holds.
  const uint32_t first = ReadLittleEndian32(good.data() + kFirstBlockLengthOffset);
  WriteLittleEndian32(lying.data() + kFirstBlockDataOffset + first, 0x3FFFFF);
  Bytes part1 = FirmwareLike(90000, 0x1B, 19), part2 = FirmwareLike(5000, 0x1B, 23);
  part1[1] = part2[1] = '%';
  const Bytes parts = MultiPart(part1, part2);
  Bytes badPart = parts;
  badPart.back() ^= 0x01;
  const Bytes raw = FirmwareLike(kRawImageReadLength + 5000, 0x1B, 29);

  const std::vector<std::pair<const char *, Bytes>> files = {
      {"good", good},     {"damaged", damaged}, {"cut", cut},   {"lying", lying},
      {"parts", parts},   {"bad part", badPart}, {"raw", raw}};
  for (const auto &file : files) {
    const Seen alone = WalkWith(file.second, nullptr);
    MemoryFile memory{file.second.data(), file.second.size()};
    ReadAheadUnpacking ahead(MemorySource(&memory));
    const Seen beside = WalkWith(file.second, ahead.Supplier());
    EXPECT_EQ(beside.outcome, alone.outcome) << file.first;
    EXPECT_EQ(beside.refusal.outcome, alone.refusal.outcome) << file.first;
    EXPECT_EQ(beside.refusal.index, alone.refusal.index) << file.first;
    EXPECT_EQ(beside.refusal.value, alone.refusal.value) << file.first;
    EXPECT_TRUE(beside.sent == alone.sent) << file.first;
  }
  EXPECT_EQ(WalkWith(good, nullptr).outcome, FirmwareOutcome::Accepted);
  EXPECT_NE(WalkWith(damaged, nullptr).outcome, FirmwareOutcome::Accepted);
}
