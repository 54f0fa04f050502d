// The write side of the firmware layouts: builds single-image and multi-part packages with the
// program's own keys (byte level, no Windows headers). Used by the package tool and the tests;
// it writes exactly what it is asked to, so tests can also build the damaged files the program
// must refuse. Checking a package's inputs is the tool's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using PackageBytes = std::vector<unsigned char>;

// The zlib stream (RFC 1950) of length raw bytes at the given level (0-9).
PackageBytes CompressBlock(const unsigned char *raw, size_t length, int level);

// Bytes 0-27 of a single-image package: the magic bytes, 12 zero bytes, image_size and the
// encrypted product_code. The block sequence, first_block_length included, follows.
void AppendSingleImageHeader(PackageBytes &out, const unsigned char *productCode,
                             uint32_t imageSize);

// One block: block_length, then stream with its first min(length, 128) bytes encrypted under
// the block key. stream is normally CompressBlock's result; anything else makes a damaged block.
void AppendBlock(PackageBytes &out, const unsigned char *productCode, const unsigned char *stream,
                 size_t length);

// A whole single-image package: image cut into blocks of blockSize bytes (the last one shorter),
// each its own zlib stream; image_size is the image's length.
PackageBytes BuildSingleImagePackage(const unsigned char *productCode, const unsigned char *image,
                                     size_t imageLength, size_t blockSize, int level);

// The plain 26-byte descriptor: product_code, required_version, target_device_id and the
// part_count byte, each copied as given.
void MakeDescriptor(unsigned char *descriptor, const unsigned char *productCode,
                    const unsigned char *requiredVersion, const unsigned char *targetDeviceId,
                    unsigned char partCountByte);

// Bytes 0-43 of a multi-part package: the magic bytes, 12 zero bytes, "PACK" and the encrypted
// descriptor.
void AppendMultiPartHeader(PackageBytes &out, const unsigned char *descriptor);

// One part: delay_seconds, part_length, then data encrypted whole under the part key.
void AppendPart(PackageBytes &out, const unsigned char *productCode, uint8_t delaySeconds,
                const unsigned char *data, size_t length);
