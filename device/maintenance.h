// Maintenance commands 1-18: restore defaults, the second confirmed command, five panel
// languages and eleven levels of the setting command. Each is one transaction: the record of the
// printer's protocol family, request/reply or write-only.
#pragma once

#include "device/connection.h"

constexpr int kMaintenanceCommands = 18;

struct MaintenanceRecord {
  const unsigned char *record;
  int recordLength;
  int writeOnly;
};

// Commands 1 and 2 act at once on the printer and are confirmed by the user first.
bool MaintenanceNeedsConfirmation(int command);

// Whether the connection's printer takes maintenance commands: 0 yes (its protocol family is
// set); 1 a firmware-only device; 2 a model that is not supported.
int CheckMaintenanceModel(PrinterConnection &connection);
// The record of command 1-18 for a protocol family (CheckMaintenanceModel first). False when the
// family has no such command (family 2, command 2).
bool ChooseMaintenanceRecord(int family, int command, MaintenanceRecord *chosen);
// Loads slot 0 with the record and no data read, all packet areas cleared first.
void LoadMaintenanceSlot(PrinterConnection &connection, const MaintenanceRecord &chosen);
// The command's label as the maintenance menu shows it in a language (UI texts 7, 8, internal
// strings 16-31), and the label of its submenu (UI text 9 for the languages, 10 for the setting
// levels) or nullptr for the commands at the menu's top.
const wchar_t *MaintenanceLabel(int language, int command);
const wchar_t *MaintenanceGroupLabel(int language, int command);
