// korvex check: the whole-file verification of a firmware file alone, with no printer: what the
// file is, what it holds, and the verdict in the program's own words.
#include <nlohmann/json.hpp>

#include <memory>
#include <new>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/file_digest.h"
#include "firmware/firmware_file.h"
#include "firmware/package.h"
#include "firmware/package_reader.h"
#include "tables/tables.h"
#include "tables/upgrade_texts.h"

namespace {

struct Inspection {
  std::vector<FirmwareChunk> chunks;  // data pointers are not kept
};

bool Seen(void *context, const FirmwareChunk *chunk) {
  FirmwareChunk kept = *chunk;
  kept.data = nullptr;
  static_cast<Inspection *>(context)->chunks.push_back(kept);
  return true;
}

const char *KindName(FirmwareKind kind) {
  switch (kind) {
    case FirmwareKind::RawImage: return "raw image";
    case FirmwareKind::SingleImage: return "single-image package";
    case FirmwareKind::MultiPart: return "multi-part package";
  }
  return "";
}

std::string Verdict(FirmwareOutcome outcome) {
  if (outcome == FirmwareOutcome::Accepted) return OwnWords(kValidFileFormat);
  const int text = FirmwareFailureText(outcome);
  return Plain(InternalString(text >= 0 ? text : kCannotOpenString));
}

std::string Text(const unsigned char *bytes, size_t length) { return Printable(bytes, length); }

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

}  // namespace

int RunCheck(const std::string &path, bool json, const std::string &expectSha256) {
  std::unique_ptr<unsigned char[]> file(new (std::nothrow) unsigned char[kFileBufferSize]);
  std::unique_ptr<unsigned char[]> inflate(new (std::nothrow) unsigned char[kInflateBufferSize]);
  std::unique_ptr<unsigned char[]> part(new (std::nothrow) unsigned char[kPartBufferSize]);
  if (!file || !inflate || !part) {
    Err("korvex: not enough memory for the firmware file's buffers\n");
    return kExitNothingSent;
  }
  FirmwareWalk walk = {};
  Inspection inspection;
  FirmwareOutcome outcome = FirmwareOutcome::OpenFailed;
  FirmwareFileReader reader(path.c_str());
  if (reader.IsOpen()) {
    const FirmwareSource source = reader.Source();
    const FirmwareBuffers buffers = {file.get(), inflate.get(), part.get()};
    const FirmwareWalkHooks hooks = {&inspection, nullptr, nullptr, nullptr, Seen, nullptr};
    outcome = WalkFirmwareFile(&source, &buffers, &hooks, &walk);
  }
  const bool opened = reader.IsOpen();
  // The digest an operator can pin the file with, and whether it is the one pinned.
  const std::string sha256 = opened ? FileSha256(reader.Source()) : std::string();
  const bool expected = expectSha256.empty() || (!sha256.empty() && sha256 == Lower(expectSha256));
  const bool valid = outcome == FirmwareOutcome::Accepted && expected;
  const unsigned char *descriptor = walk.descriptor;
  // The kind is known once the header has been read and the size accepted; a multi-part
  // package's fields once its descriptor has been read too.
  const FirmwareOutcome first = walk.firstRefusal.outcome;
  const bool kindKnown = opened && first != FirmwareOutcome::HeaderReadFailed &&
                         first != FirmwareOutcome::FileSizeRefused;
  const bool fieldsRead = kindKnown && first != FirmwareOutcome::DescriptorReadFailed;

  nlohmann::json out = {{"file", path}};
  std::string text = "file: " + OneLine(path) + "\n";
  if (opened && walk.fileSize > 0) {
    out["size"] = walk.fileSize;
    text += "size: " + std::to_string(walk.fileSize) + " bytes\n";
  }
  if (!sha256.empty()) {
    out["sha256"] = sha256;
    text += "sha256: " + sha256 + "\n";
  }
  if (kindKnown) {
    out["kind"] = KindName(walk.kind);
    text += std::string("kind: ") + KindName(walk.kind) + "\n";
  }
  if (fieldsRead && walk.kind == FirmwareKind::SingleImage) {
    out["product_code"] = Text(walk.productCode, kProductCodeLength);
    out["image_size"] = walk.total;
    out["blocks"] = nlohmann::json::array();
    text += "product code: " + Text(walk.productCode, kProductCodeLength) + "\n";
    text += "image size: " + std::to_string(walk.total) + " bytes\n";
    text += "blocks: " + std::to_string(inspection.chunks.size()) + "\n";
    for (const FirmwareChunk &block : inspection.chunks) {
      out["blocks"].push_back({{"stored", block.storedLength}, {"unpacked", block.length}});
      text += "  block " + std::to_string(block.index + 1) + ": " +
              std::to_string(block.storedLength) + " bytes stored, " +
              std::to_string(block.length) + " unpacked\n";
    }
  } else if (fieldsRead && walk.kind == FirmwareKind::MultiPart) {
    const bool anyVersion = IsRequiredVersionWildcard(descriptor);
    const std::string version =
        Text(descriptor + kDescriptorRequiredVersion, kRequiredVersionLength);
    const std::string deviceId =
        Text(descriptor + kDescriptorTargetDeviceId, kTargetDeviceIdLength);
    out["product_code"] = Text(descriptor + kDescriptorProductCode, kProductCodeLength);
    out["required_version"] = version;
    out["any_version"] = anyVersion;
    out["target_device_id"] = deviceId;
    out["part_count"] = DescriptorPartCount(descriptor);
    out["parts"] = nlohmann::json::array();
    text += "product code: " + Text(descriptor + kDescriptorProductCode, kProductCodeLength) + "\n";
    text += "required firmware version: " + (anyVersion ? "any (" + version + ")" : version) + "\n";
    text += "device id: " + deviceId + "\n";
    text += "parts: " + std::to_string(DescriptorPartCount(descriptor)) + "\n";
    for (const FirmwareChunk &chunk : inspection.chunks) {
      out["parts"].push_back({{"length", chunk.length}, {"delay_seconds", chunk.delaySeconds}});
      text += "  part " + std::to_string(chunk.index + 1) + ": " + std::to_string(chunk.length) +
              " bytes, then a pause of " + std::to_string(chunk.delaySeconds) + " s\n";
    }
  }
  std::string verdict = opened ? Verdict(outcome) : Plain(InternalString(kCannotOpenString));
  if (opened && !expected) {
    verdict = sha256.empty() ? Plain(InternalString(kCannotOpenString))
                             : "the file's SHA-256 is not the one expected (" +
                                   Lower(expectSha256) + ")";
  }
  out["valid"] = valid;
  out["verdict"] = verdict;
  text += "verdict: " + verdict + "\n";
  Out(json ? JsonText(out) : text);
  return valid ? kExitDone : kExitNothingSent;
}
