// The stand-in printers of Linux read a stream, not transfers: a pty merges the program's writes,
// and a USB printer gadget's reads merge or split the host's. This is how they find the command
// packets in it and write their answers back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "printer_logic.h"

// Where the first whole command packet held in bytes ends, 0 while it is incomplete, or the whole
// length for bytes that cannot begin a packet (firmware).
size_t PacketEnd(const std::vector<unsigned char> &bytes);
// Writes all of bytes to fd; false when a write fails.
bool WriteAll(int fd, const unsigned char *bytes, size_t length);
// The identity's version text made `bytes` long: a first line of filler, which family 2 skips,
// before the text it had. For reply blocks of a chosen length (usblp reads 1024 bytes at a time).
void LengthenVersionText(PrinterIdentity *identity, size_t bytes);
