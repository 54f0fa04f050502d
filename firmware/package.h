// Firmware file layouts: the three kinds, their fields as named offsets and sizes, and the
// limits the upgrade run and the multi-part run enforce (byte level, no Windows headers).
// The package tool writes with these same names, so a layout is described only here.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Characters the format shares with the internal string table -----------------------------
// Byte-level code cannot read the run-time table; these mirror the characters the program takes
// from it, and a host check keeps the table source in step.
constexpr unsigned char kPackageMagic0 = 'S';  // internal string 11, character 0
constexpr unsigned char kPackageMagic1 = 't';  // internal string 3, character 8
constexpr unsigned char kRequiredVersionWildcard = '*';  // internal string 72, character 4

// ---- Recognition: the first 32 bytes of every file -------------------------------------------
constexpr size_t kMagic0Offset = 0;
constexpr size_t kMagic1Offset = 1;
constexpr size_t kKindFieldOffset = 14;  // image_size, or "PACK" for a multi-part package
constexpr unsigned char kPackMarker[4] = {'P', 'A', 'C', 'K'};
constexpr size_t kFirmwareHeaderLength = 32;  // read first, whatever the kind

enum class FirmwareKind { RawImage, SingleImage, MultiPart };

// ---- Single-image package ---------------------------------------------------------------------
constexpr size_t kImageSizeOffset = 14;
constexpr size_t kProductCodeOffset = 18;  // header key stream starts here for both kinds
constexpr size_t kProductCodeLength = 10;
constexpr size_t kFirstBlockLengthOffset = 28;  // the block sequence starts here
constexpr size_t kFirstBlockDataOffset = 32;
constexpr size_t kBlockLengthSize = 4;
constexpr size_t kBlockHeadLength = 128;  // encrypted prefix of every block's data
constexpr uint32_t kMaxBlockLength = 4194304;
constexpr uint32_t kMaxFirstBlockLength = 5242880;  // bound of the first-block probe only

// ---- Multi-part package -----------------------------------------------------------------------
constexpr size_t kPackMarkerOffset = 14;
constexpr size_t kDescriptorOffset = 18;
constexpr size_t kDescriptorLength = 26;
constexpr size_t kMultiPartHeaderLength = 44;  // the parts follow
// Offsets inside the decrypted descriptor.
constexpr size_t kDescriptorProductCode = 0;
constexpr size_t kDescriptorRequiredVersion = 10;
constexpr size_t kRequiredVersionLength = 7;
constexpr size_t kDescriptorTargetDeviceId = 17;
constexpr size_t kTargetDeviceIdLength = 8;
constexpr size_t kDescriptorPartCount = 25;
// The wildcard is looked for at every other version byte only.
constexpr size_t kWildcardPositions[4] = {10, 12, 14, 16};

// One part: delay_seconds, part_length, then the encrypted part data.
constexpr size_t kPartDelayOffset = 0;
constexpr size_t kPartLengthOffset = 1;
constexpr size_t kPartHeaderLength = 5;
constexpr uint8_t kMinPartDelaySeconds = 1;
constexpr uint8_t kMaxPartDelaySeconds = 120;
constexpr uint32_t kMaxPartLength = 8388608;
constexpr unsigned char kPartLead[2] = {0x1B, '%'};  // every decrypted part begins so

// ---- Content every printer accepts as firmware (raw image, inflated first block) --------------
constexpr unsigned char kFirmwareLeadEscape = 0x1B;
constexpr unsigned char kFirmwareLeadMark[2] = {0xAD, 0xDE};

// ---- Whole-file limits and the run's buffers --------------------------------------------------
constexpr uint64_t kMinFirmwareFileSize = 32;
constexpr uint64_t kMaxFirmwareFileSize = 1073741824;
constexpr uint32_t kRawImageReadLength = 4194304;
constexpr size_t kFileBufferSize = 5242880;     // header, probe block, each stored block, raw reads
constexpr size_t kInflateBufferSize = 4194304;  // one inflated block
constexpr size_t kPartBufferSize = 8388608;     // the 44 header bytes, then one part at a time

// ---- Field access -----------------------------------------------------------------------------
// Numbers in firmware files are little-endian, assembled byte by byte.
uint32_t ReadLittleEndian32(const unsigned char *bytes);
void WriteLittleEndian32(unsigned char *bytes, uint32_t value);

// The kind, from the first 32 bytes.
FirmwareKind RecogniseFirmwareFile(const unsigned char *header);

// True when data begins with 0x1B or with 0xAD 0xDE. Only the bytes that exist are looked at:
// a block that inflates to nothing or to one 0xAD byte is not firmware.
bool IsFirmwareContent(const unsigned char *data, size_t length);

// True when a decrypted part begins with "\x1B%".
bool IsPartContent(const unsigned char *data, size_t length);

// True when the decrypted descriptor's required_version is the wildcard.
bool IsRequiredVersionWildcard(const unsigned char *descriptor);

// part_count minus '0', as the multi-part run counts it (the walk refuses any byte but a digit).
uint32_t DescriptorPartCount(const unsigned char *descriptor);
