// korvex-fwpack build-single and build-multi.
#include "build_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "firmware/package.h"
#include "firmware/package_builder.h"

namespace {

bool Fail(const std::string &message) {
  std::fprintf(stderr, "korvex-fwpack: %s\n", message.c_str());
  return false;
}

const unsigned char *Bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

std::string WithCommas(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

bool CheckProductCode(const std::string &code) {
  return code.size() == kProductCodeLength ||
         Fail("the product code has " + std::to_string(code.size()) + " characters, not 10");
}

bool WriteAll(std::FILE *out, const PackageBytes &bytes, const std::string &path) {
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() ||
         Fail("cannot write " + path + ": " + std::strerror(errno));
}

// Compared as files, not names: "./img.bin", a symlink or a hard link is the image too.
bool CheckNotOutput(const struct stat &input, const std::string &inputPath,
                    const std::string &outputPath) {
  struct stat out;
  if (stat(outputPath.c_str(), &out) != 0) return true;
  return out.st_dev != input.st_dev || out.st_ino != input.st_ino ||
         Fail(outputPath + " is the same file as the input " + inputPath + "; give another OUT");
}

bool ReadWhole(const std::string &path, PackageBytes &bytes, uint64_t limit,
               const std::string &outputPath) {
  std::FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return Fail("cannot open " + path + ": " + std::strerror(errno));
  struct stat st;
  bool ok = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) {
    Fail(path + " is not a regular file");
  } else if (!CheckNotOutput(st, path, outputPath)) {
    ok = false;
  } else if (static_cast<uint64_t>(st.st_size) > limit) {
    ok = Fail(path + " holds " + WithCommas(st.st_size) + " bytes; at most " + WithCommas(limit) +
              " fit");
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    ok = std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size() ||
         Fail("cannot read " + path + ": " + std::strerror(errno));
  }
  std::fclose(in);
  return ok;
}

// A package goes to a temporary file in OUT's folder, renamed over OUT only once complete (on
// the same file system, so atomically): a failed build leaves no partial package behind and an
// existing OUT as it was. The temporary file is removed on every way out but Commit's success.
class PackageOutput {
 public:
  explicit PackageOutput(const std::string &path) : path_(path) {}
  ~PackageOutput() {
    if (file_ != nullptr) std::fclose(file_);
    if (!temp_.empty()) std::remove(temp_.c_str());
  }
  PackageOutput(const PackageOutput &) = delete;
  PackageOutput &operator=(const PackageOutput &) = delete;

  bool Open() {
    // Renaming over a device or a folder would replace it, not write into it.
    struct stat st;
    if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return Fail(path_ + " exists and is not a regular file");
    }
    const size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    temp_ = folder + ".korvex-fwpack-XXXXXX";
    const int fd = mkstemp(temp_.data());
    if (fd < 0) {
      const std::string reason = std::strerror(errno);
      temp_.clear();
      return Fail("cannot create " + path_ + ": " + reason);
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) close(fd);
    return file_ != nullptr || Fail("cannot create " + path_ + ": " + std::strerror(errno));
  }

  std::FILE *file() const { return file_; }

  bool Commit() {
    // mkstemp makes the file 0600; give it what fopen would have: an existing OUT keeps its
    // permissions, a new one follows the umask.
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    const mode_t mode = stat(path_.c_str(), &st) == 0 ? st.st_mode & 0777 : 0666 & ~mask;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    bool ok = closed || Fail("cannot write " + path_ + ": " + std::strerror(errno));
    if (ok && chmod(temp_.c_str(), mode) != 0) {
      ok = Fail("cannot set the permissions of " + path_ + ": " + std::strerror(errno));
    }
#ifdef _WIN32
    // Windows renames only onto a name that is free.
    if (ok) std::remove(path_.c_str());
#endif
    if (ok && std::rename(temp_.c_str(), path_.c_str()) != 0) {
      ok = Fail("cannot create " + path_ + ": " + std::strerror(errno));
    }
    if (ok) temp_.clear();
    return ok;
  }

 private:
  std::string path_;
  std::string temp_;
  std::FILE *file_ = nullptr;
};

// The blocks of a single-image package, read from the image and written one at a time, so
// that an image of any size needs only one block in memory.
bool WriteSingleImage(const SingleImageOptions &o, std::FILE *in, uint64_t imageSize,
                      std::FILE *out, uint32_t *blockCount, uint64_t *packageSize) {
  const unsigned char *code = Bytes(o.productCode);
  PackageBytes bytes;
  AppendSingleImageHeader(bytes, code, static_cast<uint32_t>(imageSize));
  if (!WriteAll(out, bytes, o.outputPath)) return false;
  *packageSize = bytes.size();

  PackageBytes raw(o.blockSize);
  for (uint64_t offset = 0; offset < imageSize; offset += o.blockSize) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(o.blockSize, imageSize - offset));
    if (std::fread(raw.data(), 1, length, in) != length) {
      return Fail("cannot read " + o.imagePath + ": it changed while being read");
    }
    if (offset == 0 && !IsFirmwareContent(raw.data(), length)) {
      return Fail("the first block does not begin with 1B or AD DE, so the program would "
                  "refuse the package");
    }
    const PackageBytes stream = CompressBlock(raw.data(), length, o.level);
    if (stream.empty()) return Fail("zlib could not compress block " + std::to_string(*blockCount));
    if (stream.size() > kMaxBlockLength) {
      return Fail("block " + std::to_string(*blockCount) + " compresses to " +
                  WithCommas(stream.size()) + " bytes, above 4,194,304: use a smaller --block-size");
    }
    bytes.clear();
    AppendBlock(bytes, code, stream.data(), stream.size());
    if (!WriteAll(out, bytes, o.outputPath)) return false;
    *packageSize += bytes.size();
    *blockCount += 1;
    if (*packageSize > kMaxFirmwareFileSize) {
      return Fail("the package would exceed 1,073,741,824 bytes, the largest file the program reads");
    }
  }
  return true;
}

bool IsUpperHex(const std::string &s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool CheckMultiPartOptions(const MultiPartOptions &o) {
  if (!CheckProductCode(o.productCode)) return false;
  if (!o.requiredVersion.empty() && o.requiredVersion.size() != kRequiredVersionLength) {
    return Fail("the required version has " + std::to_string(o.requiredVersion.size()) +
                " characters, not 7");
  }
  if (o.deviceId.size() != kTargetDeviceIdLength || !IsUpperHex(o.deviceId)) {
    return Fail("the device id must be 8 upper-case hexadecimal digits (vendor id, product id); "
                "the program compares it exactly");
  }
  if (o.parts.size() > 9) return Fail("part_count is one digit: at most 9 parts");
  for (const PartOption &p : o.parts) {
    if (p.delaySeconds < kMinPartDelaySeconds || p.delaySeconds > kMaxPartDelaySeconds) {
      return Fail("the delay of " + p.path + " is " + std::to_string(p.delaySeconds) +
                  " s; it must be 1 to 120");
    }
  }
  return true;
}

}  // namespace

int BuildSingleImage(const SingleImageOptions &o) {
  if (!CheckProductCode(o.productCode)) return 1;
  if (o.blockSize < 1 || o.blockSize > kMaxBlockLength) {
    Fail("the block size must be 1 to 4,194,304 bytes: no block may inflate to more");
    return 1;
  }
  if (o.level < 0 || o.level > 9) {
    Fail("the compression level must be 0 to 9");
    return 1;
  }
  std::FILE *in = std::fopen(o.imagePath.c_str(), "rb");
  if (in == nullptr) {
    Fail("cannot open " + o.imagePath + ": " + std::strerror(errno));
    return 1;
  }
  struct stat st;
  bool ok = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) Fail(o.imagePath + " is not a regular file");
  const uint64_t imageSize = ok ? static_cast<uint64_t>(st.st_size) : 0;
  if (ok && (imageSize == 0 || imageSize > UINT32_MAX)) {
    ok = Fail("the image holds " + WithCommas(imageSize) +
              " bytes; image_size takes 1 to 4,294,967,295");
  }
  // image_size sits where a multi-part package has its marker, so one size reads as the marker.
  if (ok && imageSize == ReadLittleEndian32(kPackMarker)) {
    ok = Fail("the image holds " + WithCommas(imageSize) + " bytes, which image_size stores as \"" +
              std::string(kPackMarker, kPackMarker + sizeof kPackMarker) +
              "\": the program would take the package for a multi-part one");
  }
  ok = ok && CheckNotOutput(st, o.imagePath, o.outputPath);
  PackageOutput out(o.outputPath);
  ok = ok && out.Open();

  uint32_t blocks = 0;
  uint64_t packageSize = 0;
  ok = ok && WriteSingleImage(o, in, imageSize, out.file(), &blocks, &packageSize);
  std::fclose(in);
  if (!(ok && out.Commit())) return 1;
  std::printf("%s: single-image package, %u blocks, %s bytes, image_size %s\n",
              o.outputPath.c_str(), blocks, WithCommas(packageSize).c_str(),
              WithCommas(imageSize).c_str());
  return 0;
}

int BuildMultiPart(const MultiPartOptions &o) {
  if (!CheckMultiPartOptions(o)) return 1;
  const std::string version =
      o.requiredVersion.empty() ? std::string(kRequiredVersionLength, kRequiredVersionWildcard)
                                : o.requiredVersion;
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, Bytes(o.productCode), Bytes(version), Bytes(o.deviceId),
                 static_cast<unsigned char>('0' + o.parts.size()));
  // The program looks at only some of the version's characters: a version with the wildcard at
  // all of them would install over any firmware, which only --any-version may ask for.
  if (!o.requiredVersion.empty() && IsRequiredVersionWildcard(descriptor)) {
    std::string places;
    for (size_t i = 0; i < std::size(kWildcardPositions); ++i) {
      places += i == 0 ? "" : i + 1 == std::size(kWildcardPositions) ? " and " : ", ";
      places += std::to_string(kWildcardPositions[i] - kDescriptorRequiredVersion + 1);
    }
    Fail("the required version \"" + o.requiredVersion + "\" has " +
         std::string(1, static_cast<char>(kRequiredVersionWildcard)) + " at characters " + places +
         ", which the program reads as the wildcard: the package would install over any firmware "
         "version; give --any-version if that is meant");
    return 1;
  }
  PackageBytes package;
  AppendMultiPartHeader(package, descriptor);
  for (const PartOption &p : o.parts) {
    PackageBytes data;
    if (!ReadWhole(p.path, data, kMaxPartLength, o.outputPath)) return 1;
    if (!IsPartContent(data.data(), data.size())) {
      Fail(p.path + " does not begin with ESC %, so the program would refuse the part");
      return 1;
    }
    AppendPart(package, Bytes(o.productCode), static_cast<uint8_t>(p.delaySeconds), data.data(),
               data.size());
  }
  PackageOutput out(o.outputPath);
  if (!(out.Open() && WriteAll(out.file(), package, o.outputPath) && out.Commit())) return 1;
  std::printf("%s: multi-part package, %zu parts, %s bytes\n", o.outputPath.c_str(),
              o.parts.size(), WithCommas(package.size()).c_str());
  return 0;
}
