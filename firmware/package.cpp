// Firmware file layouts: recognition and field access.
#include "firmware/package.h"

#include <cstring>

uint32_t ReadLittleEndian32(const unsigned char *bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void WriteLittleEndian32(unsigned char *bytes, uint32_t value) {
  for (int n = 0; n < 4; ++n) bytes[n] = static_cast<unsigned char>(value >> (8 * n));
}

FirmwareKind RecogniseFirmwareFile(const unsigned char *header) {
  if (header[kMagic0Offset] != kPackageMagic0 || header[kMagic1Offset] != kPackageMagic1) {
    return FirmwareKind::RawImage;
  }
  // Only the exact upper-case marker makes a multi-part package; "pack" or any other value is
  // an image_size.
  if (std::memcmp(header + kKindFieldOffset, kPackMarker, sizeof kPackMarker) == 0) {
    return FirmwareKind::MultiPart;
  }
  return FirmwareKind::SingleImage;
}

bool IsFirmwareContent(const unsigned char *data, size_t length) {
  if (length >= 1 && data[0] == kFirmwareLeadEscape) return true;
  return length >= 2 && data[0] == kFirmwareLeadMark[0] && data[1] == kFirmwareLeadMark[1];
}

bool IsPartContent(const unsigned char *data, size_t length) {
  return length >= 2 && data[0] == kPartLead[0] && data[1] == kPartLead[1];
}

bool IsRequiredVersionWildcard(const unsigned char *descriptor) {
  for (size_t position : kWildcardPositions) {
    if (descriptor[position] != kRequiredVersionWildcard) return false;
  }
  return true;
}

uint32_t DescriptorPartCount(const unsigned char *descriptor) {
  return static_cast<uint32_t>(descriptor[kDescriptorPartCount]) - 0x30u;
}
