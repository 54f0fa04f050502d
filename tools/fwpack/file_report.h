// korvex-fwpack inspect: what a firmware file holds and every reason the program would refuse it.
#pragma once

#include <cstdio>

// Walks the file at path as the upgrade run does (the printer-side checks always pass) and
// prints its kind, fields, blocks or parts and problems to out. Returns 0 only for a file the
// program would accept, 1 otherwise (an unreadable file included).
int InspectFirmwareFile(const char *path, std::FILE *out);
