// Firmware transfer: bytes written to the chosen printer in 4096-byte writes with progress, and
// the multi-part package run (three checks, then part after part with the package's pauses).
#pragma once

#include <cstdint>

#include "firmware/package_reader.h"

// Writes length bytes of data to currentDevicePath, each 4096-byte chunk staged in replyBuffer,
// the device open only for this call. total and base (bytes the run sent before this call) only
// serve the progress bar and the progress line after prefix, shown when progressOn is non-zero.
// Returns length, or -1 when the device cannot be opened or a write fails or falls short; what
// was written before stays written.
int SendFirmwareData(const unsigned char *data, uint32_t length, uint32_t total, uint32_t base,
                     const wchar_t *prefix, int progressOn);

// Runs the multi-part package at app.firmwarePath on the upgrade worker, which has entered the
// busy state and leaves it afterwards. Reports its own outcome; returns 0 on success, 1 on
// failure.
int RunMultiPartPackage();

// Steps both runs take once the file is accepted. The snapshot is the pane text that progress
// lines are written after (kPaneUnits units).
// The pane gets the line saying the file is valid; snapshot receives the new pane text.
void ShowFileAccepted(wchar_t *snapshot);
// The pane becomes snapshot with note on a line of its own, and snapshot that text.
void AddNoteToSnapshot(wchar_t *snapshot, const wchar_t *note);
// The progress bar runs from 0 to range, stands at 0 and shows with the busy state.
void StartProgressBar(uint32_t range);

// Reports where a walk of the firmware file stopped: failures before the transfer loop with
// their text as the short text, those of the loop as "error word: text". Refusals that a check
// has reported already, and Accepted, report nothing.
void ReportFirmwareOutcome(FirmwareOutcome outcome);
