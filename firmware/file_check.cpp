// The check of the whole firmware file before anything is sent.
#include "firmware/file_check.h"

#include <windows.h>

#include "app/app_state.h"
#include "app/tables.h"
#include "device/bounded_format.h"
#include "firmware/upgrade_texts.h"

namespace {

bool ReadCounted(void *context, unsigned char *out, uint32_t count, uint32_t *got) {
  auto *check = static_cast<FileCheck *>(context);
  const bool ok = check->file.Read(check->file.context, out, count, got);
  check->read += *got;
  return ok;
}

bool SeekCounted(void *context, uint32_t offset) {
  auto *check = static_cast<FileCheck *>(context);
  check->read = offset;
  return check->file.Seek(check->file.context, offset);
}

bool SizeOfCounted(void *context, uint64_t *size) {
  auto *check = static_cast<FileCheck *>(context);
  return check->file.Size(check->file.context, size);
}

void ShowCheckLine(FileCheck *check, uint64_t read) {
  wchar_t line[kPaneUnits];
  // The file is at most 1 GiB, so its counts fit the format's 32-bit numbers.
  FormatBounded(line, kPaneUnits, InternalString(kProgressLineFormat), check->snapshot,
                UiText(kCheckWordText), static_cast<uint32_t>(read),
                static_cast<uint32_t>(check->size));
  SetWindowTextW(app.infoPane, line);
  check->shown = read;
}

}  // namespace

FirmwareSource CountingSource(FileCheck *check) {
  return FirmwareSource{check, ReadCounted, SeekCounted, SizeOfCounted};
}

void BeginFileCheck(FileCheck *check, const wchar_t *snapshot) {
  check->snapshot = snapshot;
  if (!check->file.Size(check->file.context, &check->size)) check->size = 0;
  SetWindowTextW(app.headingLabel, UiText(kCheckHeadingText));
  ShowCheckLine(check, 0);
}

void ShowFileCheckProgress(FileCheck *check) {
  const uint64_t step = check->size / 100 > 0 ? check->size / 100 : 1;
  if (check->read - check->shown >= step) ShowCheckLine(check, check->read);
}

bool EndFileCheck(FileCheck *check) {
  SetWindowTextW(app.headingLabel, UiText(kUpgradeHeadingText));
  return check->file.Seek(check->file.context, 0);
}
