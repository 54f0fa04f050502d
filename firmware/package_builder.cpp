// The write side of the firmware layouts.
#include "firmware/package_builder.h"

#include <zlib.h>

#include <cstring>

#include "firmware/package.h"
#include "firmware/package_decode.h"

namespace {

void AppendLittleEndian32(PackageBytes &out, uint32_t value) {
  unsigned char bytes[4];
  WriteLittleEndian32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

// Magic bytes and the 12 bytes the program never reads, left zero.
void AppendPackageStart(PackageBytes &out) {
  out.push_back(kPackageMagic0);
  out.push_back(kPackageMagic1);
  out.insert(out.end(), kKindFieldOffset - 2, 0);
}

// RC4 is symmetric: running the header-field decryption over plain bytes placed at offset 18
// gives the bytes the file must hold there.
void AppendHeaderField(PackageBytes &out, const unsigned char *plain, uint32_t count) {
  unsigned char scratch[kMultiPartHeaderLength] = {};
  std::memcpy(scratch + kProductCodeOffset, plain, count);
  unsigned char encrypted[kDescriptorLength];
  DecryptHeaderField(encrypted, count, scratch);
  out.insert(out.end(), encrypted, encrypted + count);
}

}  // namespace

PackageBytes CompressBlock(const unsigned char *raw, size_t length, int level) {
  uLongf size = compressBound(static_cast<uLong>(length));
  PackageBytes stream(size);
  if (compress2(stream.data(), &size, raw, static_cast<uLong>(length), level) != Z_OK) return {};
  stream.resize(size);
  return stream;
}

void AppendSingleImageHeader(PackageBytes &out, const unsigned char *productCode,
                             uint32_t imageSize) {
  AppendPackageStart(out);
  AppendLittleEndian32(out, imageSize);
  AppendHeaderField(out, productCode, kProductCodeLength);
}

void AppendBlock(PackageBytes &out, const unsigned char *productCode, const unsigned char *stream,
                 size_t length) {
  AppendLittleEndian32(out, static_cast<uint32_t>(length));
  const size_t start = out.size();
  out.insert(out.end(), stream, stream + length);
  DecryptBlockHead(productCode, out.data() + start, static_cast<uint32_t>(length));
}

PackageBytes BuildSingleImagePackage(const unsigned char *productCode, const unsigned char *image,
                                     size_t imageLength, size_t blockSize, int level) {
  PackageBytes out;
  AppendSingleImageHeader(out, productCode, static_cast<uint32_t>(imageLength));
  for (size_t offset = 0; offset < imageLength; offset += blockSize) {
    const size_t length = imageLength - offset < blockSize ? imageLength - offset : blockSize;
    const PackageBytes stream = CompressBlock(image + offset, length, level);
    AppendBlock(out, productCode, stream.data(), stream.size());
  }
  return out;
}

void MakeDescriptor(unsigned char *descriptor, const unsigned char *productCode,
                    const unsigned char *requiredVersion, const unsigned char *targetDeviceId,
                    unsigned char partCountByte) {
  std::memcpy(descriptor + kDescriptorProductCode, productCode, kProductCodeLength);
  std::memcpy(descriptor + kDescriptorRequiredVersion, requiredVersion, kRequiredVersionLength);
  std::memcpy(descriptor + kDescriptorTargetDeviceId, targetDeviceId, kTargetDeviceIdLength);
  descriptor[kDescriptorPartCount] = partCountByte;
}

void AppendMultiPartHeader(PackageBytes &out, const unsigned char *descriptor) {
  AppendPackageStart(out);
  out.insert(out.end(), kPackMarker, kPackMarker + sizeof kPackMarker);
  AppendHeaderField(out, descriptor, kDescriptorLength);
}

void AppendPart(PackageBytes &out, const unsigned char *productCode, uint8_t delaySeconds,
                const unsigned char *data, size_t length) {
  out.push_back(delaySeconds);
  AppendLittleEndian32(out, static_cast<uint32_t>(length));
  const size_t start = out.size();
  out.insert(out.end(), data, data + length);
  DecryptPartData(productCode, out.data() + start, static_cast<uint32_t>(length));
}
