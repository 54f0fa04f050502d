// The whole-file walk of a firmware file, step by step as the upgrade run takes it.
#include "firmware/package_reader.h"

#include <cstring>

#include "firmware/package_decode.h"

namespace {

struct Walker {
  const FirmwareSource *source;
  const FirmwareBuffers *buffers;
  const FirmwareWalkHooks *hooks;
  FirmwareWalk *walk;
  uint64_t position;  // where the source stands, for a supplier to find a chunk's bytes
};

// Records a refusal (the first one decides the outcome) and asks whether to go on.
bool Refuse(Walker &w, FirmwareOutcome outcome, uint32_t index = 0, uint32_t value = 0,
            int32_t inflateResult = 0) {
  const FirmwareRefusal refusal = {outcome, index, value, inflateResult};
  if (w.walk->firstRefusal.outcome == FirmwareOutcome::Accepted) w.walk->firstRefusal = refusal;
  return w.hooks->Refused != nullptr && w.hooks->Refused(w.hooks->context, &refusal);
}

bool Read(Walker &w, unsigned char *out, uint32_t count, uint32_t *got) {
  *got = 0;
  const bool read = w.source->Read(w.source->context, out, count, got);
  w.position += *got;
  return read;
}

bool SeekTo(Walker &w, uint64_t offset) {
  if (offset > UINT32_MAX || !w.source->Seek(w.source->context, static_cast<uint32_t>(offset))) {
    return false;
  }
  w.position = offset;
  return true;
}

// The bytes of one chunk whose stored bytes stand at the source's position: a block read,
// decrypted and inflated, a raw read as it is, a part read and decrypted. The walk makes them in
// its own buffers, or takes them from the supplier and moves the source past them. A block or
// part that the file holds only in part is neither decrypted nor inflated.
SuppliedChunk Unpack(Walker &w, FirmwareKind kind, uint32_t index, uint32_t storedLength) {
  SuppliedChunk chunk = {false, 0, -1, nullptr};
  const FirmwareChunkSupplier *supplier = w.buffers->supplier;
  if (supplier != nullptr) {
    const uint64_t at = w.position;
    if (at > UINT32_MAX || !supplier->Take(supplier->context, kind, index,
                                           static_cast<uint32_t>(at), storedLength, &chunk)) {
      return SuppliedChunk{false, 0, -1, nullptr};
    }
    // A raw read ends where the file does; a block or part is skipped whole.
    if (!SeekTo(w, at + (kind == FirmwareKind::RawImage ? chunk.got : storedLength))) {
      chunk.read = false;
    }
    return chunk;
  }
  unsigned char *stored = kind == FirmwareKind::MultiPart ? w.buffers->part : w.buffers->file;
  uint32_t got = 0;
  const bool read = Read(w, stored, storedLength, &got);
  return UnpackStoredChunk(kind, w.walk->productCode, stored, storedLength, read, got,
                           w.buffers->inflate);
}

// The walk is done with the chunk Unpack gave it last.
void GiveBack(Walker &w) {
  if (w.buffers->supplier != nullptr) w.buffers->supplier->Give(w.buffers->supplier->context);
}

bool Send(Walker &w, const FirmwareChunk &chunk) {
  if (w.hooks->Send != nullptr && !w.hooks->Send(w.hooks->context, &chunk)) {
    return Refuse(w, FirmwareOutcome::TransferFailed, chunk.index, chunk.length);
  }
  w.walk->chunksSent += 1;
  w.walk->bytesSent += chunk.length;
  return true;
}

// The probe of a single-image package: reads, decrypts and inflates the first block to see
// whether it is firmware at all, before the printer is told anything; *recognised tells. Returns
// false when the walk must stop.
bool ProbeFirstBlock(Walker &w, const unsigned char *header, bool *recognised) {
  *recognised = false;
  const uint32_t length = ReadLittleEndian32(header + kFirstBlockLengthOffset);
  if (length == 0 || length > kMaxFirstBlockLength) {
    // The loop reads the same block again and judges it by its own bounds.
    return Refuse(w, FirmwareOutcome::FirstBlockLengthRefused, 0, length);
  }
  if (!SeekTo(w, kFirstBlockDataOffset)) {
    Refuse(w, FirmwareOutcome::ProbeSeekFailed);
    return false;
  }
  const SuppliedChunk block = Unpack(w, FirmwareKind::SingleImage, 0, length);
  if (!block.read || block.got < length) {
    GiveBack(w);
    return Refuse(w, FirmwareOutcome::FirstBlockReadFailed, 0, block.got);
  }
  w.walk->probed = true;
  w.walk->probeResult = block.inflated;
  if (block.inflated >= 0) {
    *recognised = IsFirmwareContent(block.data, static_cast<uint32_t>(block.inflated));
  }
  GiveBack(w);
  if (block.inflated < 0) {
    return Refuse(w, FirmwareOutcome::FirstBlockInflateFailed, 0, length, block.inflated);
  }
  return true;
}

// The transfer loop of a single-image package, from offset 28: block after block until the end
// of the file falls exactly on a block boundary.
void WalkBlocks(Walker &w) {
  unsigned char *file = w.buffers->file;
  for (uint32_t index = 0;; ++index) {
    uint32_t got;
    if (!Read(w, file, kBlockLengthSize, &got)) {
      Refuse(w, FirmwareOutcome::BlockLengthReadFailed, index);
      return;
    }
    if (got == 0) return;
    if (got < kBlockLengthSize) {
      Refuse(w, FirmwareOutcome::BlockLengthShort, index, got);
      return;
    }
    const uint32_t length = ReadLittleEndian32(file);
    if (length > kMaxBlockLength) {
      Refuse(w, FirmwareOutcome::BlockTooLong, index, length);
      return;
    }
    const SuppliedChunk block = Unpack(w, FirmwareKind::SingleImage, index, length);
    if (!block.read) {
      GiveBack(w);
      Refuse(w, FirmwareOutcome::BlockReadFailed, index, length);
      return;
    }
    if (block.got < length) {
      GiveBack(w);
      Refuse(w, FirmwareOutcome::BlockShort, index, block.got);
      return;
    }
    if (block.inflated < 0) {
      GiveBack(w);
      // The next block_length still stands right after this block, so the walk can go on.
      if (!Refuse(w, FirmwareOutcome::BlockInflateFailed, index, length, block.inflated)) return;
      continue;
    }
    const FirmwareChunk chunk = {index, length, block.data, static_cast<uint32_t>(block.inflated),
                                 0};
    const bool sent = Send(w, chunk);
    GiveBack(w);
    if (!sent) return;
  }
}

// The transfer loop of a raw image, from offset 0: the file as it is, 4 MiB at a time.
void WalkRawImage(Walker &w) {
  for (uint32_t index = 0;; ++index) {
    const SuppliedChunk raw = Unpack(w, FirmwareKind::RawImage, index, kRawImageReadLength);
    if (!raw.read) {
      GiveBack(w);
      Refuse(w, FirmwareOutcome::RawReadFailed, index);
      return;
    }
    if (raw.got == 0) {
      GiveBack(w);
      return;
    }
    const FirmwareChunk chunk = {index, raw.got, raw.data, raw.got, 0};
    const bool sent = Send(w, chunk);
    GiveBack(w);
    if (!sent) return;
  }
}

// The multi-part run: the 44 header bytes from the start of the file, the descriptor checks,
// then part_count parts, each decrypted whole.
void WalkMultiPart(Walker &w) {
  FirmwareWalk *walk = w.walk;
  unsigned char *part = w.buffers->part;
  // A run that could not allocate its part buffer stops here, as if the file would not reopen.
  if (part == nullptr || !SeekTo(w, 0)) {
    Refuse(w, FirmwareOutcome::OpenFailed);
    return;
  }
  uint32_t got;
  if (!Read(w, part, kMultiPartHeaderLength, &got) || got < kMultiPartHeaderLength) {
    Refuse(w, FirmwareOutcome::DescriptorReadFailed, 0, got);
    return;
  }
  DecryptHeaderField(walk->descriptor, kDescriptorLength, part);
  std::memcpy(walk->productCode, walk->descriptor + kDescriptorProductCode, kProductCodeLength);
  // part_count must be one decimal digit. Any other byte gives a count the file cannot meet, so
  // every part in it would reach the printer before the run failed at its end; nothing about
  // the printer can make such a package right, so it is refused before the printer is asked.
  const unsigned char countByte = walk->descriptor[kDescriptorPartCount];
  if (countByte < '0' || countByte > '9') {
    Refuse(w, FirmwareOutcome::PartCountRefused, 0, countByte);
    return;
  }
  if (w.hooks->CheckDescriptor != nullptr &&
      w.hooks->CheckDescriptor(w.hooks->context, walk->descriptor) != 0 &&
      !Refuse(w, FirmwareOutcome::DescriptorRefused)) {
    return;
  }

  const uint32_t count = DescriptorPartCount(walk->descriptor);
  walk->total = count;
  if (w.hooks->StartTransfer != nullptr &&
      !w.hooks->StartTransfer(w.hooks->context, FirmwareKind::MultiPart, count)) {
    return;
  }
  for (uint32_t index = 0; index < count; ++index) {
    unsigned char header[kPartHeaderLength];
    if (!Read(w, header, kPartHeaderLength, &got) || got < kPartHeaderLength) {
      Refuse(w, FirmwareOutcome::PartHeaderShort, index, got);
      return;
    }
    const uint8_t delay = header[kPartDelayOffset];
    const uint32_t length = ReadLittleEndian32(header + kPartLengthOffset);
    // A refused delay stops the run before the part's data is read; the framing still holds,
    // so an inspection may read on.
    const bool delayRefused = delay < kMinPartDelaySeconds || delay > kMaxPartDelaySeconds;
    if (delayRefused && !Refuse(w, FirmwareOutcome::PartDelayRefused, index, delay)) return;
    if (length > kMaxPartLength) {
      Refuse(w, FirmwareOutcome::PartTooLong, index, length);
      return;
    }
    const SuppliedChunk data = Unpack(w, FirmwareKind::MultiPart, index, length);
    if (!data.read || data.got < length) {
      GiveBack(w);
      Refuse(w, FirmwareOutcome::PartReadFailed, index, data.got);
      return;
    }
    if (!IsPartContent(data.data, length)) {
      GiveBack(w);
      if (!Refuse(w, FirmwareOutcome::PartNotRecognised, index, length)) return;
      continue;
    }
    if (delayRefused) {
      GiveBack(w);
      continue;
    }
    const FirmwareChunk chunk = {index, length, data.data, length, delay};
    const bool sent = Send(w, chunk);
    GiveBack(w);
    if (!sent) return;
  }
}

}  // namespace

SuppliedChunk UnpackStoredChunk(FirmwareKind kind, const unsigned char *productCode,
                                unsigned char *stored, uint32_t storedLength, bool read,
                                uint32_t got, unsigned char *inflated) {
  SuppliedChunk chunk = {read, got, static_cast<int32_t>(got), stored};
  if (!read || kind == FirmwareKind::RawImage || got < storedLength) return chunk;
  if (kind == FirmwareKind::MultiPart) {
    DecryptPartData(productCode, stored, storedLength);
    return chunk;
  }
  DecryptBlockHead(productCode, stored, storedLength);
  chunk.inflated = InflateBlock(stored, storedLength, inflated);
  chunk.data = inflated;
  return chunk;
}

FirmwareOutcome WalkFirmwareFile(const FirmwareSource *source, const FirmwareBuffers *buffers,
                                 const FirmwareWalkHooks *hooks, FirmwareWalk *walk) {
  *walk = FirmwareWalk{};
  Walker w = {source, buffers, hooks, walk, 0};
  unsigned char *header = buffers->file;

  uint32_t got;
  if (!Read(w, header, kFirmwareHeaderLength, &got)) {
    Refuse(w, FirmwareOutcome::HeaderReadFailed);
    return walk->firstRefusal.outcome;
  }
  const bool sizeKnown = source->Size(source->context, &walk->fileSize);
  if (!sizeKnown || got < kFirmwareHeaderLength || walk->fileSize > kMaxFirmwareFileSize) {
    Refuse(w, FirmwareOutcome::FileSizeRefused, 0, got);
    return walk->firstRefusal.outcome;
  }

  walk->kind = RecogniseFirmwareFile(header);
  // Content is judged only when there is content to judge: a failed probe has said why not.
  bool judged = false;
  bool recognised = false;
  switch (walk->kind) {
    case FirmwareKind::MultiPart:
      WalkMultiPart(w);
      return walk->firstRefusal.outcome;
    case FirmwareKind::RawImage:
      judged = true;
      recognised = IsFirmwareContent(header, kFirmwareHeaderLength);
      walk->total = static_cast<uint32_t>(walk->fileSize);
      break;
    case FirmwareKind::SingleImage:
      walk->total = ReadLittleEndian32(header + kImageSizeOffset);
      DecryptHeaderField(walk->productCode, kProductCodeLength, header);
      if (hooks->CheckProductCode != nullptr &&
          hooks->CheckProductCode(hooks->context, walk->productCode) != 0 &&
          !Refuse(w, FirmwareOutcome::ProductCodeRefused)) {
        return walk->firstRefusal.outcome;
      }
      if (!ProbeFirstBlock(w, header, &recognised)) return walk->firstRefusal.outcome;
      judged = walk->probed && walk->probeResult >= 0;
      break;
  }
  if (judged && !recognised && !Refuse(w, FirmwareOutcome::ContentNotRecognised)) {
    return walk->firstRefusal.outcome;
  }

  if (hooks->StartTransfer != nullptr &&
      !hooks->StartTransfer(hooks->context, walk->kind, walk->total)) {
    return walk->firstRefusal.outcome;
  }
  const bool package = walk->kind == FirmwareKind::SingleImage;
  if (!SeekTo(w, package ? kFirstBlockLengthOffset : 0)) {
    Refuse(w, FirmwareOutcome::LoopSeekFailed);
    return walk->firstRefusal.outcome;
  }
  if (package) {
    WalkBlocks(w);
  } else {
    WalkRawImage(w);
  }
  return walk->firstRefusal.outcome;
}

int FirmwareFailureText(FirmwareOutcome outcome) {
  switch (outcome) {
    case FirmwareOutcome::Accepted:
    case FirmwareOutcome::ProductCodeRefused:
    case FirmwareOutcome::DescriptorRefused:
      return -1;
    case FirmwareOutcome::OpenFailed: return 85;
    case FirmwareOutcome::HeaderReadFailed: return 86;
    case FirmwareOutcome::DescriptorReadFailed: return 86;
    case FirmwareOutcome::RawReadFailed: return 86;
    case FirmwareOutcome::TransferFailed: return 87;
    case FirmwareOutcome::Interrupted: return 87;
    case FirmwareOutcome::FileSizeRefused: return 88;
    case FirmwareOutcome::FirstBlockLengthRefused: return 89;
    case FirmwareOutcome::PartTooLong: return 89;
    case FirmwareOutcome::PartDelayRefused: return 90;
    case FirmwareOutcome::PartNotRecognised: return 91;
    case FirmwareOutcome::ProbeSeekFailed: return 92;
    case FirmwareOutcome::LoopSeekFailed: return 92;
    case FirmwareOutcome::PartHeaderShort: return 93;
    case FirmwareOutcome::PartCountRefused: return 103;
    case FirmwareOutcome::FirstBlockReadFailed: return 94;
    case FirmwareOutcome::PartReadFailed: return 94;
    case FirmwareOutcome::FirstBlockInflateFailed: return 95;
    case FirmwareOutcome::ContentNotRecognised: return 96;
    case FirmwareOutcome::BlockLengthReadFailed: return 97;
    case FirmwareOutcome::BlockLengthShort: return 98;
    case FirmwareOutcome::BlockTooLong: return 99;
    case FirmwareOutcome::BlockReadFailed: return 100;
    case FirmwareOutcome::BlockShort: return 101;
    case FirmwareOutcome::BlockInflateFailed: return 102;
  }
  return -1;
}

bool IsLoopFailure(FirmwareOutcome outcome) {
  return static_cast<int>(outcome) >= static_cast<int>(FirmwareOutcome::LoopSeekFailed);
}
