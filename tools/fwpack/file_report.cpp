// korvex-fwpack inspect: walks a firmware file through the program's own routines and explains it.
#include "file_report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "file_source.h"
#include "firmware/package.h"
#include "firmware/package_decode.h"
#include "firmware/package_reader.h"

namespace {

constexpr size_t kLeadingBytesShown = 8;

struct Inspection {
  std::FILE *out;
  const FirmwareWalk *walk;  // filled in by the walk as it goes
  const FirmwareBuffers *buffers;
  bool headingPrinted = false;
  bool fieldsKnown = false;  // the product code or descriptor has been decrypted
  uint32_t problems = 0;
  uint64_t inflatedTotal = 0;
};

std::string HexBytes(const unsigned char *data, size_t length) {
  std::string s;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
    s += byte;
  }
  return s.empty() ? "(nothing)" : s;
}

// Printable ASCII as it is, anything else as \xHH, in quotes.
std::string Quoted(const unsigned char *data, size_t length) {
  std::string s = "\"";
  for (size_t i = 0; i < length; ++i) {
    if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"' && data[i] != '\\') {
      s += static_cast<char>(data[i]);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", data[i]);
      s += escaped;
    }
  }
  return s + "\"";
}

const char *KindName(FirmwareKind kind) {
  switch (kind) {
    case FirmwareKind::RawImage: return "raw image (sent unchanged)";
    case FirmwareKind::SingleImage: return "single-image package";
    case FirmwareKind::MultiPart: return "multi-part package";
  }
  return "?";
}

void PrintDescriptor(std::FILE *out, const unsigned char *d) {
  std::fprintf(out, "product_code: %s\n", Quoted(d + kDescriptorProductCode, kProductCodeLength).c_str());
  std::fprintf(out, "required_version: %s%s\n",
               Quoted(d + kDescriptorRequiredVersion, kRequiredVersionLength).c_str(),
               IsRequiredVersionWildcard(d) ? " (wildcard: any firmware version)" : "");
  std::fprintf(out, "target_device_id: %s\n",
               Quoted(d + kDescriptorTargetDeviceId, kTargetDeviceIdLength).c_str());
  const unsigned char countByte = d[kDescriptorPartCount];
  if (countByte >= '0' && countByte <= '9') {
    std::fprintf(out, "part_count: %u\n", DescriptorPartCount(d));
  } else {
    std::fprintf(out, "part_count: byte 0x%02X is not a digit: the run expects %u parts\n",
                 countByte, DescriptorPartCount(d));
  }
}

// The kind and the header fields, once, before anything about blocks or parts.
void PrintHeading(Inspection &in) {
  if (in.headingPrinted) return;
  in.headingPrinted = true;
  const FirmwareWalk &walk = *in.walk;
  std::fprintf(in.out, "size: %llu bytes\n", static_cast<unsigned long long>(walk.fileSize));
  std::fprintf(in.out, "kind: %s\n", KindName(walk.kind));
  switch (walk.kind) {
    case FirmwareKind::RawImage:
      std::fprintf(in.out, "begins: %s\n", HexBytes(in.buffers->file, kLeadingBytesShown).c_str());
      break;
    case FirmwareKind::SingleImage:
      std::fprintf(in.out, "product_code: %s\n",
                   Quoted(walk.productCode, kProductCodeLength).c_str());
      std::fprintf(in.out, "image_size: %u\n", walk.total);
      break;
    case FirmwareKind::MultiPart:
      if (in.fieldsKnown) PrintDescriptor(in.out, walk.descriptor);
      break;
  }
}

std::string InflateFailure(int32_t result, uint32_t stored) {
  switch (result) {
    case kInflateTooLarge: return "it would inflate past 4,194,304 bytes";
    case kInflateCutShort:
      return stored == 0 ? "block_length 0 holds no zlib stream" : "its zlib stream is cut short";
    case kInflateNoMemory: return "zlib could not set up its state";
    default: return "its zlib stream is damaged";
  }
}

std::string Describe(const FirmwareRefusal &r, const FirmwareWalk &walk) {
  const std::string n = std::to_string(r.index);
  const std::string v = std::to_string(r.value);
  switch (r.outcome) {
    case FirmwareOutcome::Accepted: return "accepted";
    case FirmwareOutcome::OpenFailed: return "the file cannot be read again from its start";
    case FirmwareOutcome::HeaderReadFailed: return "its first 32 bytes cannot be read";
    case FirmwareOutcome::FileSizeRefused:
      if (r.value < kFirmwareHeaderLength) {
        return "only " + v + " bytes: a firmware file has at least 32";
      }
      return std::to_string(walk.fileSize) + " bytes: a firmware file has at most 1,073,741,824";
    case FirmwareOutcome::ProductCodeRefused: return "the printer refused the product code";
    case FirmwareOutcome::DescriptorRefused: return "the printer refused the descriptor";
    case FirmwareOutcome::FirstBlockLengthRefused:
      return "first_block_length is " + v + ": the first block must hold 1 to 5,242,880 bytes";
    case FirmwareOutcome::ProbeSeekFailed: return "the file cannot be positioned at offset 32";
    case FirmwareOutcome::FirstBlockReadFailed:
      return "the file ends after " + v + " bytes of the first block";
    case FirmwareOutcome::FirstBlockInflateFailed:
      return "the first block does not inflate: " + InflateFailure(r.inflateResult, r.value);
    case FirmwareOutcome::ContentNotRecognised:
      return walk.kind == FirmwareKind::RawImage
                 ? "a raw image must begin with 1B or AD DE"
                 : "the first block's content does not begin with 1B or AD DE";
    case FirmwareOutcome::DescriptorReadFailed:
      return "only " + v + " bytes: a multi-part package has a 44-byte header";
    case FirmwareOutcome::PartCountRefused:
      return "part_count is byte " + v + ", not one decimal digit";
    case FirmwareOutcome::LoopSeekFailed: return "the file cannot be positioned for the transfer";
    case FirmwareOutcome::BlockLengthReadFailed: return "block " + n + ": its block_length cannot be read";
    case FirmwareOutcome::BlockLengthShort:
      return v + " stray byte(s) after the last block, where a block_length would stand";
    case FirmwareOutcome::BlockTooLong:
      return "block " + n + ": block_length " + v + " is above 4,194,304";
    case FirmwareOutcome::BlockReadFailed: return "block " + n + ": its data cannot be read";
    case FirmwareOutcome::BlockShort:
      return "block " + n + ": the file ends after " + v + " bytes of its data";
    case FirmwareOutcome::BlockInflateFailed:
      return "block " + n + " (" + v + " stored bytes) does not inflate: " +
             InflateFailure(r.inflateResult, r.value);
    case FirmwareOutcome::RawReadFailed: return "read " + n + " of the raw image fails";
    case FirmwareOutcome::PartHeaderShort:
      return "part " + n + ": " + v + " byte(s) where its 5-byte header belongs (part_count says " +
             std::to_string(walk.total) + ")";
    case FirmwareOutcome::PartDelayRefused:
      return "part " + n + ": delay_seconds " + v + " is outside 1 to 120";
    case FirmwareOutcome::PartTooLong:
      return "part " + n + ": part_length " + v + " is above 8,388,608";
    case FirmwareOutcome::PartReadFailed:
      return "part " + n + ": the file ends after " + v + " bytes of its data";
    case FirmwareOutcome::PartNotRecognised:
      return "part " + n + " (" + v + " bytes) does not begin with ESC % once decrypted";
    case FirmwareOutcome::TransferFailed: return "the transfer failed";
    case FirmwareOutcome::Interrupted: return "the run was stopped";
  }
  return "?";
}

bool OnRefused(void *context, const FirmwareRefusal *refusal) {
  Inspection &in = *static_cast<Inspection *>(context);
  const bool kindKnown = refusal->outcome != FirmwareOutcome::HeaderReadFailed &&
                         refusal->outcome != FirmwareOutcome::FileSizeRefused;
  if (kindKnown) PrintHeading(in);
  in.problems += 1;
  std::fprintf(in.out, "problem: %s\n", Describe(*refusal, *in.walk).c_str());
  return true;
}

int OnCheckProductCode(void *context, const unsigned char *) {
  Inspection &in = *static_cast<Inspection *>(context);
  in.fieldsKnown = true;
  PrintHeading(in);
  return 0;
}

int OnCheckDescriptor(void *context, const unsigned char *) {
  Inspection &in = *static_cast<Inspection *>(context);
  in.fieldsKnown = true;
  PrintHeading(in);
  return 0;
}

bool OnStartTransfer(void *context, FirmwareKind kind, uint32_t) {
  Inspection &in = *static_cast<Inspection *>(context);
  PrintHeading(in);
  const FirmwareWalk &walk = *in.walk;
  if (kind == FirmwareKind::SingleImage && walk.probed && walk.probeResult >= 0) {
    std::fprintf(in.out, "first block inflates to %d bytes, beginning %s\n", walk.probeResult,
                 HexBytes(in.buffers->inflate, std::min<size_t>(walk.probeResult, kLeadingBytesShown))
                     .c_str());
  }
  return true;
}

bool OnSend(void *context, const FirmwareChunk *chunk) {
  Inspection &in = *static_cast<Inspection *>(context);
  in.inflatedTotal += chunk->length;
  switch (in.walk->kind) {
    case FirmwareKind::SingleImage:
      std::fprintf(in.out, "block %u: stored %u, inflated %u\n", chunk->index,
                   chunk->storedLength, chunk->length);
      break;
    case FirmwareKind::MultiPart:
      std::fprintf(in.out, "part %u: delay %u s, length %u, begins %s\n", chunk->index,
                   chunk->delaySeconds, chunk->length,
                   HexBytes(chunk->data, std::min<size_t>(chunk->length, kLeadingBytesShown)).c_str());
      break;
    case FirmwareKind::RawImage:
      break;
  }
  return true;
}

// What the printer must be for the program to go ahead, and what is sent; notes that change
// nothing about acceptance.
void PrintSummary(Inspection &in, uint64_t endPosition) {
  const FirmwareWalk &walk = *in.walk;
  switch (walk.kind) {
    case FirmwareKind::RawImage:
      std::fprintf(in.out, "content: %llu bytes, read 4,194,304 at a time\n",
                   static_cast<unsigned long long>(walk.bytesSent));
      std::fprintf(in.out, "needs: nothing; no compatibility check applies to a raw image\n");
      break;
    case FirmwareKind::SingleImage:
      std::fprintf(in.out, "sound blocks: %u, %llu inflated bytes in all\n", walk.chunksSent,
                   static_cast<unsigned long long>(in.inflatedTotal));
      if (walk.firstRefusal.outcome == FirmwareOutcome::Accepted && in.inflatedTotal != walk.total) {
        std::fprintf(in.out, "note: image_size %u differs from what the blocks deliver; it only "
                             "sets the progress range\n", walk.total);
      }
      std::fprintf(in.out, "needs: a printer that reports product code %s\n",
                   Quoted(walk.productCode, kProductCodeLength).c_str());
      break;
    case FirmwareKind::MultiPart:
      if (!in.fieldsKnown) break;
      std::fprintf(in.out, "sound parts: %u, %llu bytes in all\n", walk.chunksSent,
                   static_cast<unsigned long long>(walk.bytesSent));
      if (walk.firstRefusal.outcome == FirmwareOutcome::Accepted && endPosition < walk.fileSize) {
        std::fprintf(in.out, "note: %llu bytes after the last part are never read\n",
                     static_cast<unsigned long long>(walk.fileSize - endPosition));
      }
      std::fprintf(in.out, "needs: a printer with device id %s, product code %s and %s\n",
                   Quoted(walk.descriptor + kDescriptorTargetDeviceId, kTargetDeviceIdLength).c_str(),
                   Quoted(walk.descriptor, kProductCodeLength).c_str(),
                   IsRequiredVersionWildcard(walk.descriptor)
                       ? "any firmware version"
                       : ("firmware version " + Quoted(walk.descriptor + kDescriptorRequiredVersion,
                                                        kRequiredVersionLength)).c_str());
      break;
  }
}

}  // namespace

int InspectFirmwareFile(const char *path, std::FILE *out) {
  std::fprintf(out, "file: %s\n", path);
  FileSource file;
  if (!OpenFileSource(&file, path)) {
    std::fprintf(out, "problem: cannot open it: %s\n", std::strerror(errno));
    std::fprintf(out, "verdict: refused [internal string 85]\n");
    return 1;
  }
  std::vector<unsigned char> fileBuffer(kFileBufferSize), inflateBuffer(kInflateBufferSize),
      partBuffer(kPartBufferSize);
  const FirmwareBuffers buffers = {fileBuffer.data(), inflateBuffer.data(), partBuffer.data()};
  FirmwareWalk walk;
  Inspection in = {out, &walk, &buffers};

  FirmwareWalkHooks hooks = {};
  hooks.context = &in;
  hooks.CheckProductCode = OnCheckProductCode;
  hooks.CheckDescriptor = OnCheckDescriptor;
  hooks.StartTransfer = OnStartTransfer;
  hooks.Send = OnSend;
  hooks.Refused = OnRefused;
  const FirmwareSource source = AsFirmwareSource(&file);
  const FirmwareOutcome outcome = WalkFirmwareFile(&source, &buffers, &hooks, &walk);
  const uint64_t endPosition = file.position;
  CloseFileSource(&file);

  if (in.headingPrinted) PrintSummary(in, endPosition);
  if (outcome == FirmwareOutcome::Accepted) {
    std::fprintf(out, "verdict: accepted\n");
    return 0;
  }
  std::fprintf(out, "verdict: refused: %s [internal string %d]", Describe(walk.firstRefusal, walk).c_str(),
               FirmwareFailureText(outcome));
  // The program reads the whole file before it sends anything, so a damaged file reaches the
  // printer not at all.
  if (IsLoopFailure(outcome)) std::fprintf(out, ", found before anything is sent");
  if (in.problems > 1) std::fprintf(out, "; %u problems in all", in.problems);
  std::fprintf(out, "\n");
  return 1;
}
