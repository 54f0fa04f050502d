// The check of the whole firmware file before anything is sent: one walk of the file with the
// transfer's own reading and checking code and no transfer, shown in the heading and the pane.
// Damage anywhere in the file is found before the printer has received a byte of it.
#pragma once

#include <cstdint>

#include "firmware/package_reader.h"

struct FileCheck {
  FirmwareSource file;  // the run's source; the check reads through it and counts
  uint64_t read;        // bytes read so far
  uint64_t size;        // of the whole file
  uint64_t shown;       // read when the pane line was last written
  const wchar_t *snapshot;  // the pane text the check line is written after
};

// A source that reads check->file and counts what it reads for the check line.
FirmwareSource CountingSource(FileCheck *check);

// The file has passed the compatibility checks: the heading and the pane say that it is being
// checked, from 0 of its size, after snapshot (which must outlive the check).
void BeginFileCheck(FileCheck *check, const wchar_t *snapshot);
// The check line, rewritten once for each hundredth of the file read since it was last written.
void ShowFileCheckProgress(FileCheck *check);
// The check has passed: the heading is the upgrade's again and the file is read from its start
// for the transfer. False when the file cannot be positioned.
bool EndFileCheck(FileCheck *check);
