// The SHA-256 of a firmware file.
#include "cli/file_digest.h"

#include <algorithm>
#include <memory>
#include <new>

#include "os/sha256.h"

namespace {

constexpr uint32_t kPieceBytes = 1 << 20;

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

}  // namespace

bool IsSha256Text(const std::string &text) {
  return text.size() == 2 * kSha256Bytes && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string FileSha256(const FirmwareSource &file) {
  std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kPieceBytes]);
  if (!piece || !file.Seek(file.context, 0)) return std::string();
  Sha256 hash;
  for (;;) {
    uint32_t got = 0;
    if (!file.Read(file.context, piece.get(), kPieceBytes, &got)) return std::string();
    hash.Update(piece.get(), got);
    if (got < kPieceBytes) break;
  }
  unsigned char digest[kSha256Bytes];
  if (!file.Seek(file.context, 0) || !hash.Finish(digest)) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

bool FileHasSha256(const FirmwareSource &file, const std::string &expected, std::string *actual) {
  *actual = FileSha256(file);
  return !actual->empty() && *actual == Lower(expected);
}
