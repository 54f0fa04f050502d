// The whole-file walk: packages built by the package builder come back byte for byte through
// the program's routines, and every damaged file is refused at the step and with the outcome
// the upgrade run reports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/package_decode.h"
#include "firmware/package_reader.h"
#include "package_test_support.h"

namespace {

using namespace package_test;

const unsigned char *const kCode = Text("KX7300EU01");

struct SentChunk {
  uint32_t index;
  uint32_t storedLength;
  Bytes data;
  uint8_t delay;
};

// Stands in for the printer side of the run and writes down what the walk asked of it.
struct Recorder {
  bool keepGoing = false;
  int checkResult = 0;        // what CheckProductCode / CheckDescriptor answer
  int64_t failSendAt = -1;    // the chunk index whose transfer fails
  bool goOnAtStart = true;    // what StartTransfer answers
  int starts = 0;
  uint32_t startTotal = 0;
  Bytes checked;              // product code or descriptor as handed to the check
  std::vector<SentChunk> chunks;
  std::vector<FirmwareRefusal> refusals;

  Bytes Delivered() const {
    Bytes all;
    for (const SentChunk &c : chunks) all.insert(all.end(), c.data.begin(), c.data.end());
    return all;
  }
};

FirmwareWalkHooks RecordingHooks(Recorder *r) {
  FirmwareWalkHooks hooks = {};
  hooks.context = r;
  hooks.CheckProductCode = [](void *c, const unsigned char *code) {
    Recorder *r = static_cast<Recorder *>(c);
    r->checked.assign(code, code + kProductCodeLength);
    return r->checkResult;
  };
  hooks.CheckDescriptor = [](void *c, const unsigned char *descriptor) {
    Recorder *r = static_cast<Recorder *>(c);
    r->checked.assign(descriptor, descriptor + kDescriptorLength);
    return r->checkResult;
  };
  hooks.StartTransfer = [](void *c, FirmwareKind, uint32_t total) {
    Recorder *r = static_cast<Recorder *>(c);
    r->starts += 1;
    r->startTotal = total;
    return r->goOnAtStart;
  };
  hooks.Send = [](void *c, const FirmwareChunk *chunk) {
    Recorder *r = static_cast<Recorder *>(c);
    if (chunk->index == r->failSendAt) return false;
    r->chunks.push_back({chunk->index, chunk->storedLength,
                         Bytes(chunk->data, chunk->data + chunk->length), chunk->delaySeconds});
    return true;
  };
  hooks.Refused = [](void *c, const FirmwareRefusal *refusal) {
    Recorder *r = static_cast<Recorder *>(c);
    r->refusals.push_back(*refusal);
    return r->keepGoing;
  };
  return hooks;
}

FirmwareWalk Walk(const Bytes &file, Recorder &r, MemoryFile memory = {}) {
  memory.bytes = file.data();
  memory.length = file.size();
  const FirmwareSource source = MemorySource(&memory);
  const FirmwareWalkHooks hooks = RecordingHooks(&r);
  // Whatever an earlier walk left in the inflate buffer must not pass for firmware.
  std::memset(SharedBuffers().inflate, kFirmwareLeadEscape, kInflateBufferSize);
  FirmwareWalk walk;
  const FirmwareOutcome outcome = WalkFirmwareFile(&source, &SharedBuffers(), &hooks, &walk);
  EXPECT_EQ(outcome, walk.firstRefusal.outcome);
  return walk;
}

// ---- Building test files ---------------------------------------------------------------------

Bytes Stream(const Bytes &raw) { return CompressBlock(raw.data(), raw.size(), 6); }

// A single-image package of the given zlib streams (normally Stream()s), then any tail bytes.
Bytes Single(const std::vector<Bytes> &streams, const Bytes &tail = {}, uint32_t imageSize = 0) {
  Bytes out;
  AppendSingleImageHeader(out, kCode, imageSize);
  for (const Bytes &s : streams) AppendBlock(out, kCode, s.data(), s.size());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// A first block_length that is never followed by its data.
Bytes SingleWithFirstLength(uint32_t length) {
  Bytes out = Single({});
  const size_t at = out.size();
  out.resize(at + 4 + 64, 0x55);
  WriteLittleEndian32(out.data() + at, length);
  return out;
}

struct PartSpec {
  uint8_t delay;
  Bytes data;
};

Bytes Part(size_t length, uint32_t mix = 3) {
  Bytes data = FirmwareLike(length, 0x1B, mix);
  if (length > 1) data[1] = '%';
  return data;
}

Bytes Multi(unsigned char countByte, const std::vector<PartSpec> &parts, const Bytes &tail = {},
            const char *version = "2.01.07") {
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, kCode, Text(version), Text("4B5600A1"), countByte);
  Bytes out;
  AppendMultiPartHeader(out, descriptor);
  for (const PartSpec &p : parts) AppendPart(out, kCode, p.delay, p.data.data(), p.data.size());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

Bytes PartHeader(uint8_t delay, uint32_t length) {
  Bytes header(kPartHeaderLength);
  header[0] = delay;
  WriteLittleEndian32(header.data() + 1, length);
  return header;
}

Bytes Cut(Bytes file, size_t remove) {
  file.resize(file.size() - remove);
  return file;
}

// ---- Files the program accepts ---------------------------------------------------------------

TEST(PackageWalk, SingleImageDeliversTheImageBlockByBlock) {
  const Bytes image = FirmwareLike(60000);
  for (size_t blockSize : {100u, 4096u, 60000u}) {
    const Bytes package =
        BuildSingleImagePackage(kCode, image.data(), image.size(), blockSize, 6);
    Recorder r;
    const FirmwareWalk walk = Walk(package, r);
    ASSERT_EQ(walk.firstRefusal.outcome, FirmwareOutcome::Accepted) << blockSize;
    EXPECT_EQ(walk.kind, FirmwareKind::SingleImage);
    EXPECT_EQ(r.Delivered(), image) << "block size " << blockSize;
    EXPECT_EQ(r.chunks.size(), (image.size() + blockSize - 1) / blockSize);
    EXPECT_EQ(r.checked, Bytes(kCode, kCode + kProductCodeLength));
    EXPECT_EQ(r.startTotal, image.size()) << "image_size is the progress range";
    EXPECT_EQ(walk.probeResult, static_cast<int32_t>(blockSize));
    size_t stored = kFirstBlockLengthOffset;
    for (const SentChunk &c : r.chunks) stored += kBlockLengthSize + c.storedLength;
    EXPECT_EQ(stored, package.size());
  }
  // Blocks of 100 raw bytes store in fewer than 128 bytes: decrypted whole. The others keep
  // their bytes after 127 as stored. Both kinds came back above.
  const Bytes small = BuildSingleImagePackage(kCode, image.data(), 100, 100, 6);
  EXPECT_LE(ReadLittleEndian32(small.data() + kFirstBlockLengthOffset), kBlockHeadLength);
  EXPECT_EQ(small.size(), 32 + ReadLittleEndian32(small.data() + kFirstBlockLengthOffset));
}

TEST(PackageWalk, LowerCasePackIsAnImageSizeAndIdenticalBlocksComeBackIdentical) {
  const Bytes block = FirmwareLike(5000, 0xAD);
  Bytes lead = block;
  lead[1] = 0xDE;
  const Bytes package = Single({Stream(lead), Stream(block), Stream(block)}, {},
                               ReadLittleEndian32(Text("pack")));
  ASSERT_EQ(RecogniseFirmwareFile(package.data()), FirmwareKind::SingleImage);
  Recorder r;
  const FirmwareWalk walk = Walk(package, r);
  ASSERT_EQ(walk.firstRefusal.outcome, FirmwareOutcome::Accepted);
  ASSERT_EQ(r.chunks.size(), 3u);
  EXPECT_EQ(r.chunks[1].data, block);
  EXPECT_EQ(r.chunks[2].data, block);
  EXPECT_EQ(r.startTotal, ReadLittleEndian32(Text("pack")));
}

TEST(PackageWalk, RawImageIsSentAsItIsFourMebibytesAtATime) {
  Bytes image = FirmwareLike(kRawImageReadLength + 1000, 0xAD);
  image[1] = 0xDE;
  Recorder r;
  const FirmwareWalk walk = Walk(image, r);
  ASSERT_EQ(walk.firstRefusal.outcome, FirmwareOutcome::Accepted);
  EXPECT_EQ(walk.kind, FirmwareKind::RawImage);
  ASSERT_EQ(r.chunks.size(), 2u);
  EXPECT_EQ(r.chunks[0].data.size(), kRawImageReadLength);
  EXPECT_EQ(r.Delivered(), image);
  EXPECT_EQ(r.startTotal, image.size());

  // Told to stop where the transfer would start, the walk ends there with the file accepted.
  Recorder stop;
  stop.goOnAtStart = false;
  EXPECT_EQ(Walk(image, stop).firstRefusal.outcome, FirmwareOutcome::Accepted);
  EXPECT_EQ(stop.starts, 1);
  EXPECT_TRUE(stop.chunks.empty());
}

TEST(PackageWalk, MultiPartDeliversEachPartDecryptedWithItsDelay) {
  const std::vector<PartSpec> parts = {{1, Part(2)}, {120, Part(kMaxPartLength, 5)}, {7, Part(900)}};
  const Bytes package = Multi('3', parts, Bytes(10, 0xEE));  // bytes after the last part are never read
  Recorder r;
  const FirmwareWalk walk = Walk(package, r);
  ASSERT_EQ(walk.firstRefusal.outcome, FirmwareOutcome::Accepted);
  EXPECT_EQ(walk.kind, FirmwareKind::MultiPart);
  ASSERT_EQ(r.chunks.size(), 3u);
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(r.chunks[i].delay, parts[i].delay);
    EXPECT_TRUE(r.chunks[i].data == parts[i].data) << "part " << i;
  }
  EXPECT_EQ(r.startTotal, 3u);
  EXPECT_EQ(0, std::memcmp(r.checked.data() + kDescriptorTargetDeviceId, "4B5600A1", 8));
  EXPECT_EQ(0, std::memcmp(walk.productCode, kCode, kProductCodeLength));

  for (const Bytes &none : {Multi('0', {}), Multi('0', {{5, Part(50)}})}) {
    Recorder empty;
    EXPECT_EQ(Walk(none, empty).firstRefusal.outcome, FirmwareOutcome::Accepted);
    EXPECT_TRUE(empty.chunks.empty());
    EXPECT_EQ(empty.starts, 1);
  }
}

// ---- Files the program refuses ---------------------------------------------------------------

struct RefusalCase {
  const char *name;
  Bytes file;
  FirmwareOutcome outcome;
  uint32_t index;    // block or part the refusal names
  uint32_t value;
  size_t chunksSent;
  MemoryFile memory = {};
  int checkResult = 0;
  int64_t failSendAt = -1;
};

MemoryFile ReadErrorAt(int n) { MemoryFile m; m.readErrorAt = n; return m; }
MemoryFile SeekErrorAt(int n) { MemoryFile m; m.seekErrorAt = n; return m; }
MemoryFile SizeOf(uint64_t size) { MemoryFile m; m.sizeOverride = size; return m; }

void ExpectRefusals(const std::vector<RefusalCase> &cases) {
  for (const RefusalCase &c : cases) {
    Recorder r;
    r.checkResult = c.checkResult;
    r.failSendAt = c.failSendAt;
    const FirmwareWalk walk = Walk(c.file, r, c.memory);
    EXPECT_EQ(walk.firstRefusal.outcome, c.outcome) << c.name;
    EXPECT_EQ(walk.firstRefusal.index, c.index) << c.name;
    EXPECT_EQ(walk.firstRefusal.value, c.value) << c.name;
    EXPECT_EQ(r.chunks.size(), c.chunksSent) << c.name;
    EXPECT_EQ(r.refusals.size(), c.outcome == FirmwareOutcome::Accepted ? 0u : 1u) << c.name;
    // Nothing reaches the printer before every check has passed.
    if (!IsLoopFailure(c.outcome) && c.outcome != FirmwareOutcome::Accepted) {
      EXPECT_EQ(r.starts, 0) << c.name;
    }
    // A file refused for itself is refused before the printer is asked anything.
    if (c.outcome == FirmwareOutcome::PartCountRefused) {
      EXPECT_TRUE(r.checked.empty()) << c.name;
    }
  }
}

TEST(PackageWalk, RefusesDamagedSingleImagePackagesWhereTheRunDoes) {
  const Bytes first = Part(3000, 11);
  const Bytes second = FirmwareLike(3000, 0x42, 12);
  const Bytes good = Single({Stream(first), Stream(second)});
  const Bytes overlong(kInflateBufferSize + 1, 0x1B);
  const Bytes storedHuge = CompressBlock(overlong.data(), kMaxBlockLength, 0);  // > 4 MiB stored
  Bytes damaged = Stream(second);
  damaged[damaged.size() / 2] ^= 0x21;
  const Bytes secondStream = Stream(second);
  const Bytes cutShort(secondStream.begin(), secondStream.end() - 9);
  const Bytes notFirmware = Stream(Bytes(500, 'X'));
  const Bytes nothing = Stream({});

  ExpectRefusals({
      {"31 bytes", Bytes(good.begin(), good.begin() + 31), FirmwareOutcome::FileSizeRefused, 0, 31, 0},
      {"above 1 GiB", good, FirmwareOutcome::FileSizeRefused, 0, 32, 0, SizeOf(kMaxFirmwareFileSize + 1)},
      {"exactly 1 GiB", good, FirmwareOutcome::Accepted, 0, 0, 2, SizeOf(kMaxFirmwareFileSize)},
      {"header unreadable", good, FirmwareOutcome::HeaderReadFailed, 0, 0, 0, ReadErrorAt(1)},
      {"product code refused", good, FirmwareOutcome::ProductCodeRefused, 0, 0, 0, {}, 1},
      {"first_block_length 0", SingleWithFirstLength(0), FirmwareOutcome::FirstBlockLengthRefused, 0, 0, 0},
      {"first_block_length above 5 MiB", SingleWithFirstLength(kMaxFirstBlockLength + 1),
       FirmwareOutcome::FirstBlockLengthRefused, 0, kMaxFirstBlockLength + 1, 0},
      {"probe cannot seek", good, FirmwareOutcome::ProbeSeekFailed, 0, 0, 0, SeekErrorAt(1)},
      {"probe read fails", good, FirmwareOutcome::FirstBlockReadFailed, 0, 0, 0, ReadErrorAt(2)},
      {"file ends in the first block", SingleWithFirstLength(100), FirmwareOutcome::FirstBlockReadFailed, 0, 64, 0},
      {"first block damaged", Single({damaged}), FirmwareOutcome::FirstBlockInflateFailed, 0,
       static_cast<uint32_t>(damaged.size()), 0},
      {"first block inflates past 4 MiB", Single({Stream(overlong)}),
       FirmwareOutcome::FirstBlockInflateFailed, 0, static_cast<uint32_t>(Stream(overlong).size()), 0},
      {"first block is not firmware", Single({notFirmware, Stream(first)}),
       FirmwareOutcome::ContentNotRecognised, 0, 0, 0},
      {"first block inflates to nothing", Single({nothing, Stream(first)}),
       FirmwareOutcome::ContentNotRecognised, 0, 0, 0},
      {"first block stored above 4 MiB passes the probe, not the loop", Single({storedHuge}),
       FirmwareOutcome::BlockTooLong, 0, static_cast<uint32_t>(storedHuge.size()), 0},
      {"loop cannot seek", good, FirmwareOutcome::LoopSeekFailed, 0, 0, 0, SeekErrorAt(2)},
      {"block length unreadable", good, FirmwareOutcome::BlockLengthReadFailed, 1, 0, 1, ReadErrorAt(5)},
      {"block data unreadable", good, FirmwareOutcome::BlockReadFailed, 0,
       static_cast<uint32_t>(Stream(first).size()), 0, ReadErrorAt(4)},
      {"one stray byte", Single({Stream(first), Stream(second)}, {0x01}),
       FirmwareOutcome::BlockLengthShort, 2, 1, 2},
      {"three stray bytes", Single({Stream(first), Stream(second)}, {1, 2, 3}),
       FirmwareOutcome::BlockLengthShort, 2, 3, 2},
      {"a later block_length of 0", Single({Stream(first)}, {0, 0, 0, 0}),
       FirmwareOutcome::BlockInflateFailed, 1, 0, 1},
      {"a later block_length above 4 MiB", Single({Stream(first)}, {0x01, 0x00, 0x40, 0x00}),
       FirmwareOutcome::BlockTooLong, 1, kMaxBlockLength + 1, 1},
      {"file ends inside a block", Cut(good, 5), FirmwareOutcome::BlockShort, 1,
       static_cast<uint32_t>(Stream(second).size() - 5), 1},
      {"a block inflates past 4 MiB", Single({Stream(first), Stream(overlong)}),
       FirmwareOutcome::BlockInflateFailed, 1, static_cast<uint32_t>(Stream(overlong).size()), 1},
      {"a block's stream is cut short", Single({Stream(first), cutShort}),
       FirmwareOutcome::BlockInflateFailed, 1, static_cast<uint32_t>(cutShort.size()), 1},
      {"a block is damaged", Single({Stream(first), damaged}), FirmwareOutcome::BlockInflateFailed,
       1, static_cast<uint32_t>(damaged.size()), 1},
      {"the transfer fails", good, FirmwareOutcome::TransferFailed, 1, 3000, 1, {}, 0, 1},
  });
}

TEST(PackageWalk, NamesTheInflationFailure) {
  const Bytes overlong(kInflateBufferSize + 1, 0x1B);
  Recorder r;
  const Bytes file = Single({Stream(Part(10)), Stream(overlong), {}});
  r.keepGoing = true;
  Walk(file, r);
  ASSERT_EQ(r.refusals.size(), 2u);
  EXPECT_EQ(r.refusals[0].inflateResult, kInflateTooLarge);
  EXPECT_EQ(r.refusals[1].inflateResult, kInflateCutShort) << "a block_length of 0";
}

TEST(PackageWalk, RefusesRawImagesThatAreNotFirmware) {
  Bytes other = FirmwareLike(5000, 'X');
  Bytes halfMark = FirmwareLike(5000, 0xAD);
  halfMark[1] = 0xDF;
  ExpectRefusals({
      {"starts with X", other, FirmwareOutcome::ContentNotRecognised, 0, 0, 0},
      {"0xAD without 0xDE", halfMark, FirmwareOutcome::ContentNotRecognised, 0, 0, 0},
      {"read fails", FirmwareLike(5000), FirmwareOutcome::RawReadFailed, 0, 0, 0, ReadErrorAt(2)},
  });
}

TEST(PackageWalk, RefusesDamagedMultiPartPackagesWhereTheRunDoes) {
  const std::vector<PartSpec> two = {{1, Part(300)}, {2, Part(400)}};
  const Bytes good = Multi('2', two);
  ExpectRefusals({
      {"40 bytes", Bytes(good.begin(), good.begin() + 40), FirmwareOutcome::DescriptorReadFailed, 0, 40, 0},
      {"cannot go back to the start", good, FirmwareOutcome::OpenFailed, 0, 0, 0, SeekErrorAt(1)},
      {"descriptor refused", good, FirmwareOutcome::DescriptorRefused, 0, 0, 0, {}, 1},
      {"delay 0", Multi('2', {{1, Part(300)}, {0, Part(400)}}), FirmwareOutcome::PartDelayRefused, 1, 0, 1},
      {"delay 121", Multi('1', {{121, Part(300)}}), FirmwareOutcome::PartDelayRefused, 0, 121, 0},
      {"part_length above 8 MiB", Multi('1', {}, PartHeader(1, kMaxPartLength + 1)),
       FirmwareOutcome::PartTooLong, 0, kMaxPartLength + 1, 0},
      {"part_length 0", Multi('1', {{1, {}}}), FirmwareOutcome::PartNotRecognised, 0, 0, 0},
      {"part_length 1", Multi('1', {{1, {0x1B}}}), FirmwareOutcome::PartNotRecognised, 0, 1, 0},
      {"part without ESC %", Multi('1', {{1, FirmwareLike(300)}}), FirmwareOutcome::PartNotRecognised, 0, 300, 0},
      {"fewer parts than part_count", Multi('3', two), FirmwareOutcome::PartHeaderShort, 2, 0, 2},
      {"part_count below '0'", Multi('/', two), FirmwareOutcome::PartCountRefused, 0, '/', 0},
      {"part_count above '9'", Multi(':', two), FirmwareOutcome::PartCountRefused, 0, ':', 0},
      {"stray bytes after the parts", Multi('3', two, {1, 2, 3}), FirmwareOutcome::PartHeaderShort, 2, 3, 2},
      {"part header unreadable", good, FirmwareOutcome::PartHeaderShort, 0, 0, 0, ReadErrorAt(3)},
      {"file ends inside a part", Cut(good, 1), FirmwareOutcome::PartReadFailed, 1, 399, 1},
      {"the transfer fails", good, FirmwareOutcome::TransferFailed, 0, 300, 0, {}, 0, 0},
  });

  // A run that has no part buffer refuses the package instead of reading into nothing.
  MemoryFile memory;
  memory.bytes = good.data();
  memory.length = good.size();
  const FirmwareSource source = MemorySource(&memory);
  FirmwareBuffers noPart = SharedBuffers();
  noPart.part = nullptr;
  const FirmwareWalkHooks hooks = {};
  FirmwareWalk walk;
  EXPECT_EQ(WalkFirmwareFile(&source, &noPart, &hooks, &walk), FirmwareOutcome::OpenFailed);
}

TEST(PackageWalk, KeepsGoingPastEveryProblemWhileTheFramingHolds) {
  Bytes damaged = Stream(FirmwareLike(2000, 1, 7));
  damaged[20] ^= 0xFF;
  const Bytes file = Single({Stream(Bytes(100, 'X')), Stream(Part(1000)), damaged,
                             Stream(Part(1200)), {}, Stream(Part(10))});
  Recorder r;
  r.keepGoing = true;
  const FirmwareWalk walk = Walk(file, r);
  EXPECT_EQ(walk.firstRefusal.outcome, FirmwareOutcome::ContentNotRecognised);
  ASSERT_EQ(r.refusals.size(), 3u);
  EXPECT_EQ(r.refusals[1].index, 2u);
  EXPECT_EQ(r.refusals[2].index, 4u);
  ASSERT_EQ(r.chunks.size(), 4u) << "blocks 0, 1, 3 and 5";
  EXPECT_EQ(r.chunks[3].index, 5u);

  const Bytes multi = Multi('3', {{0, Part(10)}, {4, FirmwareLike(20)}, {9, Part(30)}});
  Recorder m;
  m.keepGoing = true;
  Walk(multi, m);
  ASSERT_EQ(m.refusals.size(), 2u);
  EXPECT_EQ(m.refusals[0].outcome, FirmwareOutcome::PartDelayRefused);
  EXPECT_EQ(m.refusals[1].outcome, FirmwareOutcome::PartNotRecognised);
  ASSERT_EQ(m.chunks.size(), 1u) << "only the sound part is sent";
  EXPECT_EQ(m.chunks[0].index, 2u);
}

}  // namespace
