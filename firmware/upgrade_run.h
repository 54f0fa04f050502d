// The firmware upgrade run: from the chosen file to the result box.
#pragma once

#include <windows.h>

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

// The upgrade note a model gets from its display name: 1 for the two-character prefix of
// internal string 60, 2 for the three-character prefixes of 61-64 (tested last, so they win),
// 0 for none.
int ModelCategory(const wchar_t *displayName);
