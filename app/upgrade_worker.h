// The window program's firmware upgrade run: from the chosen file to the result box.
#pragma once

#include <windows.h>

#include "firmware/package_reader.h"

// Selects the printer (popupAnchor places its menu: 2 under button 901, 3 for a drop or the
// command line), asks for the file when askForFile is set (otherwise app.firmwarePath names
// it), enters the busy state and starts FirmwareUpgradeThread. Returns 0 when the thread was
// started, 1 otherwise. Main thread only.
int StartFirmwareUpgrade(int popupAnchor, int askForFile);

// The upgrade worker: checks the file against the printer and as a whole, then sends it with
// progress and shows the outcome, leaving the busy state (entered by its start) on every way out,
// which ends an unattended program.
// Exits with 1 when the run failed, 0 when it succeeded or handed a multi-part package over.
DWORD WINAPI FirmwareUpgradeThread(LPVOID unused);

// Runs the multi-part package at app.firmwarePath on the upgrade worker, which has entered the
// busy state and leaves it afterwards. Reports its own outcome; returns 0 on success, 1 on
// failure.
int RunMultiPartPackage();

// Reports where a walk of the firmware file stopped: failures before the transfer loop with
// their text as the short text, those of the loop as "error word: text". Refusals that a check
// has reported already, and Accepted, report nothing.
void ReportFirmwareOutcome(FirmwareOutcome outcome);
