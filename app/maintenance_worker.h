// The window program's maintenance commands 1-18: the menu's choice confirmed where needed, then
// one transaction on a worker and a notice with the outcome.
#pragma once

#include <windows.h>

// The notice when a command to a printer bridged in from Linux is refused under Wine.
constexpr int kBridgedMaintenanceRefusedText = 38;

// 0 started, declined by the user, or answered by the notice that a family-2 printer lacks
// command 2; 1 no printer chosen, a firmware-only device, or a bridged printer refused under
// Wine; 2 a model that is not supported.
int RunMaintenanceCommand(int command);
// Loads slot 0 with the record (no data read), enters the busy state and starts the worker;
// returns 0, or 1 when no worker could be started.
int StartMaintenance(const unsigned char *record, int recordLength, int writeOnly);
DWORD WINAPI MaintenanceWorker(LPVOID writeOnly);
