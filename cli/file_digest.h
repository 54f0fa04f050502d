// The SHA-256 an operator pins a firmware file with (--expect-sha256): the file a fleet receives
// is the file that was chosen, not one that was swapped or damaged on its way to the host.
#pragma once

#include <string>

#include "firmware/package_reader.h"

// 64 hexadecimal digits, in either case.
bool IsSha256Text(const std::string &text);

// The SHA-256 of the whole file in lower-case hexadecimal, read from its start; empty when it
// cannot be read. The file is left at its start.
std::string FileSha256(const FirmwareSource &file);

// Whether the file is the one expected (expected as IsSha256Text takes it); *actual receives
// its digest (empty when it could not be read).
bool FileHasSha256(const FirmwareSource &file, const std::string &expected, std::string *actual);
